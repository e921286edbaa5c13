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

bool each_line(const char *path, bool (*visit)(void *context, std::string_view line),
               void *context) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    static char storage[LINE_BUFFER];
    const std::span<char> buffer(storage);
    size_t held = 0;
    bool skipping = false;
    for (;;) {
        const ssize_t n = read(fd, buffer.subspan(held).data(), buffer.size() - held);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            return false;
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
                return true;
            }
            skipping = false;
        }
        if (n == 0) {
            if (start < end && !skipping) {
                visit(context, std::string_view{buffer.subspan(start).data(), end - start});
            }
            close(fd);
            return true;
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

// The cgroup.procs file of a folder lists this process.
bool holds_me(const char *procs) {
    struct context_type {
        char pid[24];
        bool found;
    } context{};
    snprintf(context.pid, sizeof context.pid, "%d", getpid());
    each_line(
        procs,
        [](void *c, std::string_view line) {
            auto *found = static_cast<context_type *>(c);
            found->found = line == found->pid;
            return !found->found;
        },
        &context);
    return context.found;
}

// The search for the folder, depth levels below the one in path, whose
// folder rest lists this process, in a cgroup namespace whose mount lies
// above its root.
struct search_context {
    char path[PATH_TEXT_MAX]{};
    std::string_view rest;
    int depth = 0;
    bool found = false;
};

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
    return true;
}

bool search_below(search_context &search, int depth) {
    if (depth == 0) {
        char procs[PATH_TEXT_MAX];
        if (!join(procs, search.path, search.rest, "/cgroup.procs")) {
            return false;
        }
        return holds_me(procs);
    }
    const int fd = open(search.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const int saved = search.depth;
    search.depth = depth;
    each_entry(fd, search_entry, &search);
    search.depth = saved;
    close(fd);
    return search.found;
}

// Reads the cpuset file of the folder dir, or of its nearest ancestor with
// one up to top, into cpus and file.
bool cpuset_from(std::span<char> dir, std::string_view top, const char *name, std::span<char> cpus,
                 std::span<char> file) {
    for (;;) {
        if (join(file, dir.data(), "/", name)) {
            read_line(file.data(), cpus);
            if (cpus[0] != '\0') {
                return true;
            }
        }
        const std::string_view folder(dir.data());
        const size_t slash = folder.rfind('/');
        if (folder.size() <= top.size() || slash == std::string_view::npos) {
            file[0] = '\0';
            return false;
        }
        dir[slash] = '\0';
    }
}

struct cpuset_search {
    own_cgroups own;
    std::span<char> cpus;
    std::span<char> file;
    bool found;
};

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
    memcpy(dir.path, top, sizeof top);
    if (place.kind == cgroup_place::search) {
        dir.rest = place.rest;
        dir.found = false;
        if (!search_below(dir, place.depth)) {
            return true;
        }
    }
    const size_t length = strlen(dir.path);
    if (!join(std::span(dir.path).subspan(length), place.rest, "")) {
        return true;
    }
    search.found = cpuset_from(dir.path, top, name, search.cpus, search.file);
    return !search.found;
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
        if (n <= 0) {
            close(fd);
            if (n < 0 || used == buf.size()) {
                return -1;
            }
            buf[used] = '\0';
            return static_cast<ssize_t>(used);
        }
        used += static_cast<size_t>(n);
        if (used == buf.size()) {
            close(fd);
            return -1;
        }
    }
}

void read_line(const char *path, std::span<char> buf) {
    if (read_file(path, buf) < 0) {
        buf[0] = '\0';
        return;
    }
    const std::string_view text(buf.data());
    const size_t end = text.find('\n');
    if (end != std::string_view::npos) {
        buf[end] = '\0';
    }
}

void cpus_of(pid_t task, std::span<char> buf) {
    char path[64]{};
    snprintf(path, sizeof path, "/proc/%d/status", task);
    static char status[CPU_LIST_TEXT_MAX * 2];
    buf[0] = '\0';
    if (read_file(path, status) < 0) {
        return;
    }
    const std::string_view cpus = status_field(status, "Cpus_allowed_list");
    if (cpus.size() < buf.size()) {
        memcpy(buf.data(), cpus.data(), cpus.size());
        buf[cpus.size()] = '\0';
    }
}

char state_of(pid_t task, std::span<char> name) {
    char path[64]{};
    snprintf(path, sizeof path, "/proc/%d/stat", task);
    char stat[1024]{};
    name[0] = '\0';
    if (read_file(path, stat) < 0) {
        return '\0';
    }
    const task_stat fields = task_stat_parse(stat);
    if (fields.comm.size() < name.size()) {
        memcpy(name.data(), fields.comm.data(), fields.comm.size());
        name[fields.comm.size()] = '\0';
    }
    return fields.state;
}

bool find_cpuset(std::span<char> cpus, std::span<char> file) {
    static char cgroups[LINE_BUFFER];
    cpus[0] = '\0';
    file[0] = '\0';
    if (read_file("/proc/self/cgroup", cgroups) < 0) {
        return false;
    }
    cpuset_search search{
        .own = own_cgroups_parse(cgroups), .cpus = cpus, .file = file, .found = false};
    each_line("/proc/self/mountinfo", cpuset_in_mount, &search);
    return search.found;
}

void one_line(const char *text, std::span<char> out) {
    size_t length = 0;
    for (const char *c = text; *c != '\0' && length + 2 < out.size(); ++c) {
        if (*c == '\n') {
            out[length++] = '\\';
            out[length++] = 'n';
        } else {
            out[length++] = *c;
        }
    }
    out[length] = '\0';
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

bool each_entry(int fd, bool (*visit)(void *context, const char *name, unsigned char type),
                void *context) {
    alignas(dirent64) char entries[4096];
    for (;;) {
        const ssize_t n = getdents64(fd, entries, sizeof entries);
        if (n <= 0) {
            return n == 0;
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
                return true;
            }
        }
    }
}
