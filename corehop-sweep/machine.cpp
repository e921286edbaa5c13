// SPDX-License-Identifier: MIT
#include "machine.h"
#include "cgroup.h"
#include "cpu_mask.h"
#include "paths.h"
#include "proc_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The most of a file read line by line that one line may take; longer lines
// are passed over.
constexpr size_t LINE_BUFFER = size_t{64} * 1024;
// The folders the cgroup namespace's root is looked for in, at most.
constexpr int MAX_SEARCH_DEPTH = 16;
// The mounts of a cpuset hierarchy weighed at once, at most.
constexpr int CANDIDATES_MAX = 8;

// The search for this process's cgroup in a mount that lies above its
// cgroup namespace's root: the folder, depth levels below the mount's
// point, whose folder rest lists this process.
struct search_context {
    std::string_view rest;
    int depth;
    char pid[24];
    bool found;
};

// The cgroup.procs file of a folder lists this process. (A buffer of its
// own: the search runs after the walk of the mount table.)
bool holds_me(search_context &search, const char *procs, unseen &failed) {
    static char buffer[4096];
    const unseen read = each_line(
        procs, buffer,
        [](void *c, std::string_view line) {
            auto *s = static_cast<search_context *>(c);
            s->found = line == s->pid;
            return !s->found;
        },
        &search);
    // (a cgroup removed meanwhile holds no one)
    if (is_unseen(read) && read.error != ENOENT && read.error != ENODEV) {
        failed = read;
    }
    return search.found;
}

walk_step search_entry(void *context, std::span<char> path, int depth, unsigned char type,
                       unseen &failed) {
    auto &search = *static_cast<search_context *>(context);
    if (type != DT_DIR && type != DT_UNKNOWN) {
        return walk_step::pass;
    }
    if (depth < search.depth) {
        return walk_step::descend;
    }
    char procs[PATH_TEXT_MAX]{};
    return path_join(procs, path.data(), search.rest, "/cgroup.procs") &&
                   holds_me(search, procs, failed)
               ? walk_step::stop
               : walk_step::pass;
}

// A mount of a cpuset hierarchy that may hold this process, as the table
// lists it: where, its cpuset file's name, where the cgroup lies in it, and
// whether a later mount covers it.
struct candidate {
    char root[PATH_TEXT_MAX]{};
    char point[PATH_TEXT_MAX]{};
    const char *name{};
    cgroup_place place{};
    bool covered{};
};

struct mount_walk {
    own_cgroups own{};
    candidate candidates[CANDIDATES_MAX]{};
    int count{};
};

bool weigh_mount(void *context, std::string_view line) {
    auto &walk = *static_cast<mount_walk *>(context);
    mount_line mount;
    char point[PATH_TEXT_MAX]{};
    if (!mount_line_parse(line, mount) || mount_field_decode(mount.point, point) >= sizeof point) {
        return true;
    }
    for (candidate &c : std::span(walk.candidates).first(static_cast<size_t>(walk.count))) {
        c.covered = c.covered || mount_covers(point, c.point);
    }
    std::string_view path;
    const char *name = nullptr;
    if (mount.type == "cgroup2" && walk.own.has_v2) {
        path = walk.own.v2;
        name = "cpuset.cpus.effective";
    } else if (mount.type == "cgroup" && walk.own.has_v1 && has_option(mount.super, "cpuset")) {
        path = walk.own.v1;
        name = has_option(mount.super, "noprefix") ? "effective_cpus" : "cpuset.effective_cpus";
    } else {
        return true;
    }
    if (walk.count == CANDIDATES_MAX) {
        return true;
    }
    candidate &c = std::span(walk.candidates)[static_cast<size_t>(walk.count)];
    if (mount_field_decode(mount.root, c.root) >= sizeof c.root) {
        return true;
    }
    c.place = cgroup_place_of(c.root, path);
    if (c.place.kind == cgroup_place::none || c.place.depth > MAX_SEARCH_DEPTH) {
        return true;
    }
    memcpy(c.point, point, sizeof point);
    c.name = name;
    c.covered = false;
    ++walk.count;
    return true;
}

// Reads the cpuset file of the folder dir, or of its nearest ancestor with
// one up to the mount's point, into cpus and file.
unseen cpuset_from(std::span<char> dir, size_t top, const char *name, std::span<char> cpus,
                   std::span<char> file, bool &found) {
    for (bool more = true; more; more = path_up(dir, top)) {
        if (path_join(file, dir.data(), "/", name)) {
            unseen read = read_line(file.data(), cpus);
            if (!is_unseen(read) && cpus[0] != '\0') {
                found = true;
                return {};
            }
            // (a folder without the file, as a cgroup v2 one without the
            // cpuset controller: its parent's holds it)
            if (is_unseen(read) && read.error != ENOENT) {
                return read;
            }
        }
    }
    file[0] = '\0';
    return {};
}

bool runnable_file(const char *path) {
    struct stat st = {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

// The file name in a folder of PATH, into path.
bool on_path(const char *name, std::span<char> path) {
    const char *const search = getenv("PATH");
    std::string_view list = search != nullptr ? search : "";
    std::string_view folder;
    for (bool more = search != nullptr; path_next(list, folder, more);) {
        if (path_join(path, folder, "/", name) && runnable_file(path.data())) {
            return true;
        }
    }
    path[0] = '\0';
    return false;
}

} // namespace

unseen cpus_of(long pid, std::span<char> cpus) {
    static char status[CPU_LIST_TEXT_MAX * 2];
    cpus[0] = '\0';
    unseen read = read_task_file(pid, -1, "status", status);
    if (is_unseen(read)) {
        return read;
    }
    const std::string_view list = status_field(status, "Cpus_allowed_list");
    if (list.size() < cpus.size()) {
        memcpy(cpus.data(), list.data(), list.size());
        cpus[list.size()] = '\0';
    }
    return {};
}

unseen state_of(long pid, std::span<char> name, char &state) {
    char stat[1024]{};
    name[0] = '\0';
    state = '\0';
    unseen read = read_task_file(pid, -1, "stat", stat);
    if (is_unseen(read)) {
        return read;
    }
    const task_stat fields = task_stat_parse(stat);
    if (fields.comm.size() < name.size()) {
        memcpy(name.data(), fields.comm.data(), fields.comm.size());
        name[fields.comm.size()] = '\0';
    }
    state = fields.state;
    return {};
}

unseen read_cpus(const char *path, std::span<char> buf, cpu_list &cpus) {
    unseen read = read_line(path, buf);
    if (is_unseen(read)) {
        return read;
    }
    if (!cpu_list_parse(buf.data(), cpus)) {
        return unseen_said(path, EINVAL, "%s holds no list of CPUs: '%s'", path, buf.data());
    }
    return {};
}

unseen own_cpus(cpu_list &own) {
    static cpu_mask mask;
    if (read_affinity(0, mask) != 0) {
        return unseen_said("sched_getaffinity", errno,
                           "the CPUs of this process cannot be read: %s", strerror(errno));
    }
    for (int cpu = 0; cpu < CPU_LIST_CPUS; ++cpu) {
        const auto index = static_cast<size_t>(cpu) / (8 * sizeof(cpu_set_t));
        const int bit = cpu % static_cast<int>(8 * sizeof(cpu_set_t));
        if (CPU_ISSET_S(bit, sizeof(cpu_set_t), &std::span(mask.sets)[index])) {
            cpu_list_add(own, cpu, cpu);
        }
    }
    return {};
}

unseen find_cpuset(std::span<char> cpus, std::span<char> file, bool &found) {
    static char cgroups[LINE_BUFFER];
    static char mounts[LINE_BUFFER];
    static mount_walk walk;
    found = false;
    cpus[0] = '\0';
    file[0] = '\0';
    unseen read = read_file("/proc/self/cgroup", cgroups);
    if (is_unseen(read)) {
        return read;
    }
    walk.own = own_cgroups_parse(cgroups);
    walk.count = 0;
    read = each_line("/proc/self/mountinfo", mounts, weigh_mount, &walk);
    if (is_unseen(read)) {
        return read;
    }
    for (const candidate &c : std::span(walk.candidates).first(static_cast<size_t>(walk.count))) {
        if (c.covered) {
            continue;
        }
        static char dir[PATH_TEXT_MAX];
        memcpy(dir, c.point, sizeof dir);
        if (c.place.kind == cgroup_place::search) {
            search_context search{
                .rest = c.place.rest, .depth = c.place.depth, .pid = {}, .found = false};
            snprintf(search.pid, sizeof search.pid, "%d", getpid());
            read = walk_folder(dir, c.place.depth, search_entry, &search);
            if (is_unseen(read)) {
                return read;
            }
            if (!search.found) {
                continue;
            }
            // (the walk leaves the folder it stopped at in dir)
        }
        const size_t length = strlen(dir);
        if (!path_join(std::span(dir).subspan(length), c.place.rest, "")) {
            continue;
        }
        read = cpuset_from(dir, strlen(c.point), c.name, cpus, file, found);
        if (is_unseen(read) || found) {
            return read;
        }
    }
    return {};
}

bool find_tool(const char *here, const char *name, std::span<char> path) {
    if (here[0] != '\0' && path_join(path, here, "/", name) && runnable_file(path.data())) {
        return true;
    }
    return on_path(name, path);
}

void folder_of(const char *argv0, std::span<char> here) {
    const std::string_view folder = path_folder(argv0);
    if (!folder.empty()) {
        path_join(here, folder, "");
        return;
    }
    static char found[PATH_TEXT_MAX];
    if (!on_path(argv0, found)) {
        here[0] = '\0';
        return;
    }
    folder_of(found, here);
}
