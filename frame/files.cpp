// SPDX-License-Identifier: MIT
#include "files.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

void set_subject(unseen &u, std::string_view subject, int error) {
    u.error = error;
    const size_t length = std::min(subject.size(), sizeof u.subject - 1);
    memcpy(u.subject, subject.data(), length);
    std::span(u.subject)[length] = '\0';
}

// Closes fd, keeping errno.
void close_keeping_errno(int fd) {
    const int error = errno;
    close(fd);
    errno = error;
}

} // namespace

bool is_unseen(const unseen &u) {
    return u.text[0] != '\0';
}

unseen unseen_read(std::string_view file, int error) {
    return unseen_said(file, error, "%.*s cannot be read: %s", static_cast<int>(file.size()),
                       file.data(), strerror(error));
}

unseen unseen_call(std::string_view call, int error) {
    return unseen_said(call, error, "%.*s: %s", static_cast<int>(call.size()), call.data(),
                       strerror(error));
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
unseen unseen_said(std::string_view subject, int error, const char *format, ...) {
    unseen u;
    set_subject(u, subject, error);
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    vsnprintf(u.text, sizeof u.text, format, arguments);
    va_end(arguments);
    // (a text is never empty: that would say all was seen)
    if (u.text[0] == '\0') {
        snprintf(u.text, sizeof u.text, "%s", "?");
    }
    return u;
}

unseen read_file(const char *path, std::span<char> buf, size_t &length) {
    length = 0;
    buf[0] = '\0';
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return unseen_read(path, errno);
    }
    size_t used = 0;
    for (;;) {
        const ssize_t n = read(fd, buf.subspan(used).data(), buf.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close_keeping_errno(fd);
            return unseen_read(path, errno);
        }
        if (n == 0) {
            close(fd);
            buf[used] = '\0';
            length = used;
            return {};
        }
        used += static_cast<size_t>(n);
        if (used == buf.size()) {
            close(fd);
            buf[0] = '\0';
            return unseen_read(path, EFBIG);
        }
    }
}

unseen read_file(const char *path, std::span<char> buf) {
    size_t length = 0;
    return read_file(path, buf, length);
}

unseen read_line(const char *path, std::span<char> buf) {
    unseen u = read_file(path, buf);
    if (!is_unseen(u)) {
        const std::string_view text(buf.data());
        const size_t end = text.find('\n');
        if (end != std::string_view::npos) {
            buf[end] = '\0';
        }
    }
    return u;
}

unseen each_line(const char *path, std::span<char> buffer,
                 bool (*visit)(void *context, std::string_view line), void *context) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return unseen_read(path, errno);
    }
    size_t held = 0;
    bool skipping = false;
    for (;;) {
        const ssize_t n = read(fd, buffer.subspan(held).data(), buffer.size() - held);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close_keeping_errno(fd);
            return unseen_read(path, errno);
        }
        const size_t end = held + static_cast<size_t>(n);
        size_t start = 0;
        for (size_t i = held; i < end; ++i) {
            if (buffer[i] != '\n') {
                continue;
            }
            const std::string_view line{buffer.subspan(start).data(), i - start};
            start = i + 1;
            if (!skipping && !visit(context, line)) {
                close(fd);
                return {};
            }
            skipping = false;
        }
        if (n == 0) {
            if (start < end && !skipping) {
                visit(context, std::string_view{buffer.subspan(start).data(), end - start});
            }
            close(fd);
            return {};
        }
        held = end - start;
        memmove(buffer.data(), buffer.subspan(start).data(), held);
        // (a line longer than the buffer: the rest of it is passed over)
        if (held == buffer.size()) {
            held = 0;
            skipping = true;
        }
    }
}

namespace {

struct folder_walk {
    std::span<char> path;
    int depth_max;
    walk_step (*visit)(void *, std::span<char>, int, unsigned char, unseen &);
    void *context;
    unseen *failed{};
    bool stopped;
};

// Walks the folder open at fd, whose entries lie at depth, path naming it.
void walk_open(folder_walk &walk, int fd, int depth) {
    alignas(dirent64) char entries[4096];
    const size_t length = strlen(walk.path.data());
    for (;;) {
        const ssize_t n = getdents64(fd, entries, sizeof entries);
        if (n < 0) {
            *walk.failed = unseen_read(walk.path.data(), errno);
            return;
        }
        if (n == 0) {
            return;
        }
        for (size_t at = 0; at < static_cast<size_t>(n);) {
            const std::span<char> entry = std::span(entries).subspan(at);
            unsigned short record = 0;
            memcpy(&record, entry.subspan(offsetof(dirent64, d_reclen)).data(), sizeof record);
            const auto type = static_cast<unsigned char>(entry[offsetof(dirent64, d_type)]);
            const char *const name = entry.subspan(offsetof(dirent64, d_name)).data();
            at += record;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
                continue;
            }
            const size_t name_length = strlen(name);
            if (length + 1 + name_length >= walk.path.size()) {
                *walk.failed = unseen_read(walk.path.data(), ENAMETOOLONG);
                return;
            }
            walk.path[length] = '/';
            memcpy(walk.path.subspan(length + 1).data(), name, name_length + 1);
            const walk_step step = walk.visit(walk.context, walk.path, depth, type, *walk.failed);
            if (is_unseen(*walk.failed)) {
                walk.path[length] = '\0';
                return;
            }
            if (step == walk_step::descend && depth >= walk.depth_max) {
                *walk.failed = unseen_read(walk.path.data(), ENAMETOOLONG);
            } else if (step == walk_step::descend) {
                const int below = open(walk.path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                // (a folder gone meanwhile, or no folder at all, holds nothing)
                if (below < 0 && errno != ENOENT && errno != ENOTDIR) {
                    *walk.failed = unseen_read(walk.path.data(), errno);
                } else if (below >= 0) {
                    walk_open(walk, below, depth + 1);
                    close(below);
                }
            }
            // (where the walk stops, path names where it stopped)
            if (walk.stopped || step == walk_step::stop) {
                walk.stopped = true;
                return;
            }
            walk.path[length] = '\0';
            if (is_unseen(*walk.failed)) {
                return;
            }
        }
    }
}

} // namespace

unseen walk_folder(std::span<char> path, int depth_max,
                   walk_step (*visit)(void *context, std::span<char> path, int depth,
                                      unsigned char type, unseen &failed),
                   void *context) {
    unseen failed;
    const int fd = open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        failed = unseen_read(path.data(), errno);
        return failed;
    }
    folder_walk walk{.path = path,
                     .depth_max = depth_max,
                     .visit = visit,
                     .context = context,
                     .failed = &failed,
                     .stopped = false};
    walk_open(walk, fd, 1);
    close(fd);
    return failed;
}

unseen read_task_file(long pid, long tid, const char *name, std::span<char> buf) {
    char path[96]{};
    if (tid < 0) {
        snprintf(path, sizeof path, "/proc/%ld/%s", pid, name);
    } else {
        snprintf(path, sizeof path, "/proc/%ld/task/%ld/%s", pid, tid, name);
    }
    return read_file(path, buf);
}

bool task_gone(const unseen &u) {
    return is_unseen(u) && (u.error == ENOENT || u.error == ESRCH);
}
