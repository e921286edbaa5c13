// SPDX-License-Identifier: MIT
// What the sweep reads of the machine: small files of /proc and /sys, the
// cpuset of its cgroup, and where its tools are.
#include "cgroup.h"
#include "proc_text.h"
#include "sweep.h"
#include "text_part.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The most of a file read line by line that one line may take; longer lines
// are passed over.
constexpr size_t LINE_BUFFER = size_t{64} * 1024;
// The folders the cgroup namespace's root is looked for in, at most.
constexpr int MAX_SEARCH_DEPTH = 16;

} // namespace

int each_line(const char *path, std::span<char> buffer,
              bool (*visit)(void *context, std::string_view line), void *context) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    size_t held = 0;
    bool skipping = false;
    for (;;) {
        const ssize_t n = read(fd, buffer.subspan(held).data(), buffer.size() - held);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            close(fd);
            return error;
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
                return 0;
            }
            skipping = false;
        }
        if (n == 0) {
            if (start < end && !skipping) {
                visit(context, std::string_view{buffer.subspan(start).data(), end - start});
            }
            close(fd);
            return 0;
        }
        held = end - start;
        memmove(buffer.data(), buffer.subspan(start).data(), held);
        if (held == buffer.size()) {
            held = 0;
            skipping = true;
        }
    }
}

namespace {

// Joins a, b (and c) into out; false where it does not fit.
bool join(std::span<char> out, std::string_view a, std::string_view b, std::string_view c = "") {
    const int n =
        snprintf(out.data(), out.size(), "%.*s%.*s%.*s", static_cast<int>(a.size()), a.data(),
                 static_cast<int>(b.size()), b.data(), static_cast<int>(c.size()), c.data());
    return n >= 0 && static_cast<size_t>(n) < out.size();
}

// The search for this process's cgroup in a mount that lies above its
// cgroup namespace's root: the folder, depth levels below the one in path,
// whose folder rest lists this process; a read that failed stops it.
struct search_context {
    char path[PATH_TEXT_MAX]{};
    std::string_view rest;
    int depth = 0;
    bool found = false;
    unread failed{};
};

// The cgroup.procs file of a folder lists this process. (Its own buffer: the
// search runs within the walk of the mount table.)
bool holds_me(search_context &search, const char *procs) {
    struct context_type {
        char pid[24];
        bool found;
    } context{};
    snprintf(context.pid, sizeof context.pid, "%d", getpid());
    static char buffer[4096];
    const int error = each_line(
        procs, buffer,
        [](void *c, std::string_view line) {
            auto *found = static_cast<context_type *>(c);
            found->found = line == found->pid;
            return !found->found;
        },
        &context);
    // (a cgroup removed meanwhile holds no one)
    if (error != 0 && error != ENOENT && error != ENODEV) {
        note_unread(search.failed, procs, error);
    }
    return context.found;
}

bool search_below(search_context &search, int depth);

bool search_entry(void *context, const char *name, unsigned char type) {
    auto &search = *static_cast<search_context *>(context);
    if (type != DT_DIR && type != DT_UNKNOWN) {
        return true;
    }
    const size_t length = strlen(search.path);
    if (!join(std::span(search.path).subspan(length), "/", name)) {
        return true;
    }
    if (search_below(search, search.depth - 1)) {
        search.found = true;
        return false;
    }
    std::span(search.path)[length] = '\0';
    return search.failed.error == 0;
}

bool search_below(search_context &search, int depth) {
    if (depth == 0) {
        char procs[PATH_TEXT_MAX]{};
        return join(procs, search.path, search.rest, "/cgroup.procs") && holds_me(search, procs);
    }
    const int fd = open(search.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            note_unread(search.failed, search.path, errno);
        }
        return false;
    }
    const int saved = search.depth;
    search.depth = depth;
    const int error = each_entry(fd, search_entry, &search);
    if (error != 0) {
        note_unread(search.failed, search.path, error);
    }
    search.depth = saved;
    close(fd);
    return search.found;
}

struct cpuset_search {
    own_cgroups own;
    std::span<char> cpus;
    std::span<char> file;
    bool found;
    int error;
};

// Reads the cpuset file of the folder dir, or of its nearest ancestor with
// one up to top, into cpus and file.
void cpuset_from(cpuset_search &search, std::span<char> dir, std::string_view top,
                 const char *name) {
    for (;;) {
        if (join(search.file, dir.data(), "/", name)) {
            const int error = read_line(search.file.data(), search.cpus);
            if (error == 0 && search.cpus[0] != '\0') {
                search.found = true;
                return;
            }
            // (a folder without the file, as a cgroup v2 one without the
            // cpuset controller: its parent's holds it)
            if (error != 0 && error != ENOENT) {
                search.error = error;
                return;
            }
        }
        const std::string_view folder(dir.data());
        const size_t slash = folder.rfind('/');
        if (folder.size() <= top.size() || slash == std::string_view::npos) {
            search.file[0] = '\0';
            return;
        }
        dir[slash] = '\0';
    }
}

// The cpuset of this process in one mount, if it is one of a cpuset
// hierarchy.
bool cpuset_in_mount(void *context, std::string_view line) {
    auto &search = *static_cast<cpuset_search *>(context);
    mount_line mount;
    if (!mount_line_parse(line, mount)) {
        return true;
    }
    std::string_view path;
    const char *name = nullptr;
    if (mount.type == "cgroup2" && search.own.has_v2) {
        path = search.own.v2;
        name = "cpuset.cpus.effective";
    } else if (mount.type == "cgroup" && search.own.has_v1 && has_option(mount.super, "cpuset")) {
        path = search.own.v1;
        name = has_option(mount.super, "noprefix") ? "effective_cpus" : "cpuset.effective_cpus";
    } else {
        return true;
    }
    static char root[PATH_TEXT_MAX];
    static char top[PATH_TEXT_MAX];
    static search_context dir;
    if (mount_field_decode(mount.root, root) >= sizeof root ||
        mount_field_decode(mount.point, top) >= sizeof top) {
        return true;
    }
    const cgroup_place place = cgroup_place_of(root, path);
    if (place.kind == cgroup_place::none || place.depth > MAX_SEARCH_DEPTH) {
        return true;
    }
    dir = search_context{};
    memcpy(dir.path, top, sizeof top);
    if (place.kind == cgroup_place::search) {
        dir.rest = place.rest;
        if (!search_below(dir, place.depth)) {
            if (dir.failed.error != 0) {
                search.error = dir.failed.error;
                join(search.file, dir.failed.file, "");
            }
            return dir.failed.error == 0;
        }
    }
    const size_t length = strlen(dir.path);
    if (!join(std::span(dir.path).subspan(length), place.rest, "")) {
        return true;
    }
    cpuset_from(search, dir.path, top, name);
    return !search.found && search.error == 0;
}

bool runnable_file(const char *path) {
    struct stat st = {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

// The file name in a folder of PATH, into path.
bool on_path(const char *name, std::span<char> path) {
    const char *const search = getenv("PATH");
    if (search == nullptr) {
        return false;
    }
    std::string_view rest(search);
    for (;;) {
        const size_t colon = rest.find(':');
        const std::string_view dir = part(rest, 0, colon);
        if (join(path, dir.empty() ? "." : dir, "/", name) && runnable_file(path.data())) {
            return true;
        }
        if (colon == std::string_view::npos) {
            path[0] = '\0';
            return false;
        }
        rest.remove_prefix(colon + 1);
    }
}

} // namespace

ssize_t read_file(const char *path, std::span<char> buf) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t used = 0;
    for (;;) {
        const ssize_t n = read(fd, buf.subspan(used).data(), buf.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const int error = n < 0 ? errno : EFBIG;
        if (n == 0) {
            close(fd);
            buf[used] = '\0';
            return static_cast<ssize_t>(used);
        }
        used += n > 0 ? static_cast<size_t>(n) : 0;
        if (n < 0 || used == buf.size()) {
            close(fd);
            errno = error;
            return -1;
        }
    }
}

int read_line(const char *path, std::span<char> buf) {
    if (read_file(path, buf) < 0) {
        buf[0] = '\0';
        return errno;
    }
    const std::string_view text(buf.data());
    const size_t end = text.find('\n');
    if (end != std::string_view::npos) {
        buf[end] = '\0';
    }
    return 0;
}

bool folder_down(std::span<char> path, const char *name, size_t &length, int depth, int depth_max) {
    length = strlen(path.data());
    const std::span<char> rest = path.subspan(length);
    const int n = snprintf(rest.data(), rest.size(), "/%s", name);
    return n >= 0 && static_cast<size_t>(n) < rest.size() && depth < depth_max;
}

bool task_gone(int error) {
    return error == ENOENT || error == ESRCH;
}

int read_task_file(sweep &s, pid_t task, const char *name, std::span<char> buf) {
    char path[64]{};
    snprintf(path, sizeof path, "/proc/%d/%s", task, name);
    if (read_file(path, buf) >= 0) {
        return 1;
    }
    if (task_gone(errno)) {
        return 0;
    }
    hinder(s, "%s cannot be read: %s", path, strerror(errno));
    return -1;
}

int cpus_of(sweep &s, pid_t task, std::span<char> buf) {
    static char status[CPU_LIST_TEXT_MAX * 2];
    buf[0] = '\0';
    const int read = read_task_file(s, task, "status", status);
    if (read <= 0) {
        return read;
    }
    const std::string_view cpus = status_field(status, "Cpus_allowed_list");
    if (cpus.size() < buf.size()) {
        memcpy(buf.data(), cpus.data(), cpus.size());
        buf[cpus.size()] = '\0';
    }
    return 1;
}

int state_of(sweep &s, pid_t task, std::span<char> name, char &state) {
    char stat[1024]{};
    name[0] = '\0';
    state = '\0';
    const int read = read_task_file(s, task, "stat", stat);
    if (read <= 0) {
        return read;
    }
    const task_stat fields = task_stat_parse(stat);
    if (fields.comm.size() < name.size()) {
        memcpy(name.data(), fields.comm.data(), fields.comm.size());
        name[fields.comm.size()] = '\0';
    }
    state = fields.state;
    return 1;
}

cpuset_read find_cpuset(std::span<char> cpus, std::span<char> file) {
    static char cgroups[LINE_BUFFER];
    static char mounts[LINE_BUFFER];
    cpus[0] = '\0';
    file[0] = '\0';
    if (read_file("/proc/self/cgroup", cgroups) < 0) {
        const int error = errno;
        join(file, "/proc/self/cgroup", "");
        return {.found = false, .error = error};
    }
    cpuset_search search{
        .own = own_cgroups_parse(cgroups), .cpus = cpus, .file = file, .found = false, .error = 0};
    const int error = each_line("/proc/self/mountinfo", mounts, cpuset_in_mount, &search);
    if (error != 0) {
        join(file, "/proc/self/mountinfo", "");
        return {.found = false, .error = error};
    }
    return {.found = search.found, .error = search.error};
}

bool find_tool(const char *here, const char *name, std::span<char> path) {
    if (here[0] != '\0' && join(path, here, std::string_view("/"), name) &&
        runnable_file(path.data())) {
        return true;
    }
    return on_path(name, path);
}

void folder_of(const char *argv0, std::span<char> here) {
    const std::string_view name(argv0);
    const size_t slash = name.rfind('/');
    if (slash != std::string_view::npos) {
        join(here, part(name, 0, slash == 0 ? 1 : slash), "");
        return;
    }
    static char found[PATH_TEXT_MAX];
    if (!on_path(argv0, found)) {
        here[0] = '\0';
        return;
    }
    folder_of(found, here);
}

int each_entry(int fd, bool (*visit)(void *context, const char *name, unsigned char type),
               void *context) {
    alignas(dirent64) char entries[4096];
    for (;;) {
        const ssize_t n = getdents64(fd, entries, sizeof entries);
        if (n <= 0) {
            return n == 0 ? 0 : errno;
        }
        for (size_t at = 0; at < static_cast<size_t>(n);) {
            const std::span<char> entry = std::span(entries).subspan(at);
            unsigned short length = 0;
            memcpy(&length, entry.subspan(offsetof(dirent64, d_reclen)).data(), sizeof length);
            const auto type = static_cast<unsigned char>(entry[offsetof(dirent64, d_type)]);
            const char *const name = entry.subspan(offsetof(dirent64, d_name)).data();
            at += length;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
                continue;
            }
            if (!visit(context, name, type)) {
                return 0;
            }
        }
    }
}
