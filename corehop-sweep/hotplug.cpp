// SPDX-License-Identifier: MIT
// corehop-sweep -H: a CPU moved to goes offline under the parker and comes
// back. Nothing outside the sweep may lose a binding for good: the CPU is one
// that no user task and no interrupt may use alone, and, under cgroup v1, that
// no cpuset but the root one holds, as a mount of the hierarchy of its own
// shows it; else the checks skip, naming what holds it. What cannot be seen
// (a file that cannot be read, the tasks of another PID namespace) makes them
// skip too. A guard child in a session of its own brings the CPU back should
// the sweep die, even by a SIGKILL of its whole process group; on every other
// way out the sweep brings it back itself, whatever became of the guard.
#include "cgroup.h"
#include "sweep.h"
#include "text_part.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const V1_NOTE =
    "(with cgroup v1, a CPU that goes offline leaves every cpuset but the root one for good)";
// The folders a cpuset hierarchy may nest, at most.
constexpr int MAX_CPUSET_DEPTH = 64;

void online_path(int cpu, std::span<char> path) {
    snprintf(path.data(), path.size(), "/sys/devices/system/cpu/cpu%d/online", cpu);
}

// Writes "0" or "1" to the CPU's online file; 0, or the errno of the refusal.
int set_online(int cpu, bool online) {
    char path[64]{};
    online_path(cpu, path);
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int written = static_cast<int>(write(fd, online ? "1\n" : "0\n", 2));
    const int error = written == 2 ? 0 : errno;
    close(fd);
    return error;
}

// A check whose result waits until the CPU is online again.
struct pending {
    text what;
    text got;
    text want;
    text hindrance;
};

// One -H run: the CPU, what would lose a binding to it, and the three checks,
// whose results are given once the CPU is back, so that a reader that stalls
// never keeps it offline.
struct hotplug_run {
    const char *corehop;
    pid_t parker;
    cpu_list online;
    cpu_list candidates; // the CPUs moved to that may go offline
    int cpu;             // the one taken offline, or -1
    int top;             // the last candidate, which the checks name
    cpu_list held;       // candidates a task or an interrupt may use alone
    text holder;         // what holds top
    text reason;         // why the checks skip, where they do
    bool moved;          // the parker is on the CPU alone
    pending lives;
    pending refused;
    pending back;
    char cpus[CPU_LIST_TEXT_MAX];
    char before[CPU_LIST_TEXT_MAX];
    text line;
};

// The result, once it can be given.
void hold_result(sweep &s, pending &p) {
    p.hindrance = s.hindrance;
    s.hindrance.length = 0;
    s.hindrance.s[0] = '\0';
}

void give_result(sweep &s, const pending &p) {
    if (p.hindrance.length > 0) {
        skip(s, p.what.s, p.hindrance.s);
    } else {
        result(s, p.what.s, p.got.s, p.want.s);
    }
}

// The CPU a list of the kernel names alone among the online ones, or -1.
int alone_on(const hotplug_run &h, std::string_view list) {
    cpu_list cpus{};
    if (!cpu_list_parse(list, cpus)) {
        return -1;
    }
    const cpu_list both = cpu_list_both(cpus, h.online);
    return cpu_list_count(both) == 1 ? cpu_list_next(both, -1) : -1;
}

void hold(hotplug_run &h, int cpu, const char *what) {
    if (!cpu_list_has(h.candidates, cpu)) {
        return;
    }
    cpu_list_add(h.held, cpu, cpu);
    if (cpu == h.top && h.holder.length == 0) {
        text_set(h.holder, "%s may run on CPU %d alone, and would lose that binding for good", what,
                 cpu);
    }
}

// A user task bound to one CPU.
bool hold_thread(void *context, const thread_seen &thread) {
    auto &h = *static_cast<hotplug_run *>(context);
    const int cpu = alone_on(h, thread.cpus);
    if (cpu >= 0) {
        char what[128]{};
        snprintf(what, sizeof what, "task %ld %.*s", thread.tid,
                 static_cast<int>(thread.comm.size()), thread.comm.data());
        hold(h, cpu, what);
    }
    return true;
}

// An interrupt bound to one CPU, that handles something, and whose binding
// the kernel does not keep itself: a managed or per-CPU one refuses its own
// binding written back (EIO), which leaves it as it was.
struct irq_scan {
    hotplug_run *h;
    unread *failed;
};

bool hold_irq(void *context, const char *number, std::string_view affinity) {
    const auto &scan = *static_cast<irq_scan *>(context);
    const int cpu = alone_on(*scan.h, affinity);
    if (cpu < 0 || !cpu_list_has(scan.h->candidates, cpu)) {
        return true;
    }
    char action[64]{};
    const int handled = irq_handled(number, action, *scan.failed);
    if (handled <= 0) {
        return handled == 0;
    }
    char path[96]{};
    snprintf(path, sizeof path, "/proc/irq/%s/smp_affinity_list", number);
    const int file = open(path, O_WRONLY | O_CLOEXEC);
    if (file >= 0) {
        const bool kept = write(file, affinity.data(), affinity.size()) < 0 && errno == EIO;
        close(file);
        if (kept) {
            return true;
        }
    }
    char what[64]{};
    snprintf(what, sizeof what, "IRQ %s", number);
    hold(*scan.h, cpu, what);
    return true;
}

// The candidates that no user task and no interrupt may use alone; false,
// with the reason, where not every task and interrupt can be seen.
bool scan_holders(hotplug_run &h, text &reason) {
    const int first = first_namespace("pid", reason);
    if (first < 0) {
        return false;
    }
    if (first == 0) {
        text_set(reason, "in a PID namespace other than the first, whose /proc hides the tasks "
                         "bound to a CPU outside it");
        return false;
    }
    static unread failed;
    irq_scan irqs{.h = &h, .failed = &failed};
    if (!each_thread(false, h.parker, hold_thread, &h, failed) ||
        !each_irq(hold_irq, &irqs, failed)) {
        text_set(reason, "%s cannot be read: %s", failed.file, strerror(failed.error));
        return false;
    }
    return true;
}

// The cgroup v1 cpuset hierarchy as the mount table shows it: its options
// (its controllers, to mount it again) and a mount of it whole.
struct v1_mount {
    char options[512];
    char point[PATH_TEXT_MAX];
    cpu_list candidates;
};

bool find_v1(void *context, std::string_view line) {
    auto &v1 = *static_cast<v1_mount *>(context);
    mount_line mount;
    if (!mount_line_parse(line, mount) || mount.type != "cgroup" ||
        !has_option(mount.super, "cpuset")) {
        return true;
    }
    if (v1.options[0] == '\0') {
        // the controllers and flags, less what a second mount may not set
        std::string_view rest = mount.super;
        size_t length = 0;
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            const std::string_view option = part(rest, 0, comma);
            rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
            if (option == "rw" || option == "ro" || option.starts_with("release_agent=")) {
                continue;
            }
            const int n = snprintf(std::span(v1.options).subspan(length).data(),
                                   sizeof v1.options - length, "%s%.*s", length > 0 ? "," : "",
                                   static_cast<int>(option.size()), option.data());
            length = std::min(sizeof v1.options - 1, length + static_cast<size_t>(n));
        }
    }
    char root[PATH_TEXT_MAX]{};
    if (v1.point[0] == '\0' && mount_field_decode(mount.root, root) < sizeof root &&
        std::string_view(root) == "/") {
        mount_field_decode(mount.point, v1.point);
    }
    return true;
}

// The walk of a fresh mount of the hierarchy, in a child of the sweep's:
// which candidates a cpuset but the root one holds, and the first cpuset
// that holds the last of them.
struct v1_walk {
    cpu_list candidates{};
    int top = -1;
    cpu_list held{};
    char path[PATH_TEXT_MAX]{};
    size_t root_length = 0;
    char holder[PATH_TEXT_MAX]{};
    int depth = 0;
    unread failed{};
};

// The CPUs of the cpuset in walk.path, into cpus; false where they cannot be
// read, and gone true where the cpuset is gone.
bool cpuset_cpus(v1_walk &walk, std::span<char> cpus, bool &gone) {
    // (mounted with noprefix, its files have no "cpuset." before them)
    char file[PATH_TEXT_MAX + 16]{};
    int error = 0;
    for (const char *name : {"cpuset.cpus", "cpus"}) {
        snprintf(file, sizeof file, "%s/%s", walk.path, name);
        error = read_line(file, cpus);
        if (error != ENOENT) {
            break;
        }
    }
    gone = error == ENOENT;
    if (error == 0 || gone) {
        return error == 0;
    }
    note_unread(walk.failed, file, error);
    return false;
}

bool walk_cpuset(void *context, const char *name, unsigned char type) {
    auto &walk = *static_cast<v1_walk *>(context);
    if (type != DT_DIR && type != DT_UNKNOWN) {
        return true;
    }
    size_t length = 0;
    if (!folder_down(walk.path, name, length, walk.depth, MAX_CPUSET_DEPTH)) {
        return note_unread(walk.failed, walk.path, ENAMETOOLONG);
    }
    const int fd = open(walk.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT && errno != ENOTDIR) {
        return note_unread(walk.failed, walk.path, errno);
    }
    static char cpus[CPU_LIST_TEXT_MAX];
    bool gone = fd < 0;
    cpu_list list{};
    if (fd >= 0 && cpuset_cpus(walk, cpus, gone) && !gone && cpu_list_parse(cpus, list)) {
        if (cpu_list_has(list, walk.top) && walk.holder[0] == '\0') {
            snprintf(walk.holder, sizeof walk.holder, "%s",
                     std::span(walk.path).subspan(walk.root_length).data());
        }
        const cpu_list now = cpu_list_both(walk.candidates, list);
        for (int cpu = cpu_list_next(now, -1); cpu >= 0; cpu = cpu_list_next(now, cpu)) {
            cpu_list_add(walk.held, cpu, cpu);
        }
    }
    if (fd >= 0 && walk.failed.error == 0 && !gone) {
        ++walk.depth;
        const int error = each_entry(fd, walk_cpuset, &walk);
        --walk.depth;
        if (error != 0 && walk.failed.error == 0) {
            note_unread(walk.failed, walk.path, error);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    std::span(walk.path)[length] = '\0';
    return walk.failed.error == 0;
}

// In the child: mounts the hierarchy afresh in a mount namespace of its own
// and walks it; prints the candidate to take, "held PATH" or "no REASON".
void v1_child(const void *context) {
    const auto &v1 = *static_cast<const v1_mount *>(context);
    static v1_walk walk;
    walk.candidates = v1.candidates;
    walk.top = cpu_list_last(v1.candidates);
    const char *point = nullptr;
    for (const char *folder : {"/tmp", "/mnt", "/dev"}) {
        struct stat st = {};
        if (stat(folder, &st) == 0 && S_ISDIR(st.st_mode)) {
            point = folder;
            break;
        }
    }
    if (point == nullptr || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("cgroup", point, "cgroup", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              v1.options[0] != '\0' ? v1.options : "cpuset") != 0) {
        printf("no the cgroup v1 cpuset hierarchy cannot be mounted afresh here (%s)",
               strerror(errno));
        _exit(fflush(stdout) == 0 ? 0 : 1);
    }
    snprintf(walk.path, sizeof walk.path, "%s", point);
    walk.root_length = strlen(walk.path);
    const int fd = open(point, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int error = fd < 0 ? errno : each_entry(fd, walk_cpuset, &walk);
    if (error != 0 || walk.failed.error != 0) {
        printf("no the cgroup v1 cpuset %s cannot be read: %s",
               walk.failed.error != 0 ? walk.failed.file + walk.root_length : "/",
               strerror(walk.failed.error != 0 ? walk.failed.error : error));
        _exit(fflush(stdout) == 0 ? 0 : 1);
    }
    const cpu_list free_cpus = cpu_list_but(walk.candidates, walk.held);
    if (cpu_list_count(free_cpus) > 0) {
        printf("%d", cpu_list_last(free_cpus));
    } else {
        printf("held %s", walk.holder);
    }
    _exit(fflush(stdout) == 0 ? 0 : 1);
}

// Under cgroup v1: the last of the free candidates that no cpuset but the
// root one holds, or -1 and the reason. The walk runs in a child, in a mount
// namespace of its own.
int walk_v1_cpusets(sweep &s, const cpu_list &free_cpus, text &reason) {
    static v1_mount v1;
    static char mounts[size_t{64} * 1024];
    v1 = v1_mount{};
    v1.candidates = free_cpus;
    const int error = each_line("/proc/self/mountinfo", mounts, find_v1, &v1);
    if (error != 0) {
        text_set(reason, "/proc/self/mountinfo cannot be read: %s %s", strerror(error), V1_NOTE);
        return -1;
    }
    const int first = first_namespace("cgroup", reason);
    if (first < 0) {
        text_add(reason, " %s", V1_NOTE);
        return -1;
    }
    if (first == 0) {
        text_set(reason,
                 "in a cgroup namespace, where the other cgroup v1 cpusets cannot be seen %s",
                 V1_NOTE);
        return -1;
    }
    if (!start_child(s, s.tool,
                     start_how{.name = "the walk of the cgroup v1 cpusets",
                               .session = false,
                               .input = -1,
                               .body = v1_child,
                               .context = &v1}) ||
        !finish_child(s, s.tool, BOUND_SECONDS * 1000)) {
        text_set(reason, "%s %s", s.hindrance.length > 0 ? s.hindrance.s : s.out, V1_NOTE);
        s.hindrance = text{};
        return -1;
    }
    const std::string_view said(s.out);
    if (s.status == 0 && !said.empty() && said.front() >= '0' && said.front() <= '9') {
        return static_cast<int>(strtol(s.out, nullptr, 10));
    }
    if (s.status == 0 && said.starts_with("held ")) {
        text_set(reason, "the cgroup v1 cpuset %s%s holds CPU %d %s", v1.point, s.out + 5,
                 cpu_list_last(free_cpus), V1_NOTE);
    } else if (s.status == 0 && said.starts_with("no ")) {
        text_set(reason, "%s %s", s.out + 3, V1_NOTE);
    } else {
        text_set(reason, "the walk of the cgroup v1 cpusets ended with status %d: %s %s", s.status,
                 s.out, V1_NOTE);
    }
    return -1;
}

// The CPUs moved to whose online file root may write; false, with the
// reason, where there is none.
bool find_candidates(hotplug_run &h, const cpu_list &moves) {
    for (int cpu = cpu_list_next(moves, -1); cpu >= 0; cpu = cpu_list_next(moves, cpu)) {
        char path[64]{};
        online_path(cpu, path);
        if (access(path, F_OK) != 0) {
            continue;
        }
        if (access(path, W_OK) == 0) {
            cpu_list_add(h.candidates, cpu, cpu);
        } else if (errno == EROFS) {
            text_set(h.reason, "%s is on a read-only file system", path);
        } else {
            text_set(h.reason, "needs root: %s is not writable", path);
        }
    }
    if (cpu_list_count(h.candidates) == 0 && h.reason.length == 0) {
        text_set(h.reason, "no CPU moved to can go offline here");
    }
    h.top = cpu_list_last(h.candidates);
    return cpu_list_count(h.candidates) > 0;
}

// The CPU to take offline: the last one moved to that the kernel lets go
// offline and nothing would lose for good; else the reason.
void choose(sweep &s, hotplug_run &h, const cpu_list &moves) {
    if (cpu_list_count(h.online) < 2) {
        text_set(h.reason, "one CPU online");
        return;
    }
    if (!find_candidates(h, moves) || !scan_holders(h, h.reason)) {
        return;
    }
    const cpu_list free_cpus = cpu_list_but(h.candidates, h.held);
    if (cpu_list_count(free_cpus) == 0) {
        h.reason = h.holder;
        return;
    }
    static char cgroups[4096];
    if (read_file("/proc/self/cgroup", cgroups) < 0) {
        text_set(h.reason, "/proc/self/cgroup cannot be read: %s %s", strerror(errno), V1_NOTE);
        return;
    }
    h.cpu = own_cgroups_parse(cgroups).has_v1 ? walk_v1_cpusets(s, free_cpus, h.reason)
                                              : cpu_list_last(free_cpus);
    if (h.cpu >= 0 && h.parker < 0) {
        text_set(h.reason, "no parker");
        h.cpu = -1;
    }
}

// The guard: holds the CPU's online file open, says so with a byte (0, else
// the errno of its open), then waits on its input; should that end without a
// byte, as when the sweep dies, it writes 1 to the file.
[[noreturn]] void guard(const void *context) {
    const char *const path = static_cast<const char *>(context);
    // (nothing of the sweep's but its input and output: the sweep's end of
    // its input must close when the sweep dies)
    if (close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < DESCRIPTORS_HOTPLUG; ++fd) {
            close(fd);
        }
    }
    const int file = open(path, O_WRONLY | O_CLOEXEC);
    const auto said = static_cast<unsigned char>(file >= 0 ? 0 : errno);
    [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, &said, 1);
    if (file < 0) {
        _exit(1);
    }
    char byte = 0;
    ssize_t n = 0;
    while ((n = read(STDIN_FILENO, &byte, 1)) < 0 && errno == EINTR) {
    }
    _exit(n == 0 && write(file, "1\n", 2) != 2 ? 1 : 0);
}

// Starts the guard of the CPU, in a session of its own, which the sweep's
// process group and its signals do not reach; false, with the reason, where
// it cannot start or does not say within the bound that it holds the file.
bool start_guard(sweep &s, int cpu, text &reason) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        text_set(reason, "no guard to bring CPU %d back can be started: socketpair: %s", cpu,
                 strerror(errno));
        return false;
    }
    static char path[64];
    online_path(cpu, path);
    const bool started = start_child(
        s, s.guard,
        start_how{
            .name = "the guard", .session = true, .input = fds[1], .body = guard, .context = path});
    close(fds[1]);
    if (!started) {
        close(fds[0]);
        text_set(reason, "no guard to bring CPU %d back: %s", cpu, s.hindrance.s);
        s.hindrance = text{};
        return false;
    }
    s.guard.in = fds[0];
    const int said = first_byte(s, s.guard, BOUND_SECONDS * 1000);
    if (said == 0) {
        return true;
    }
    if (said > 0) {
        text_set(reason, "the guard to bring CPU %d back cannot open %s: %s", cpu, path,
                 strerror(said));
    } else {
        text_set(reason, "the guard to bring CPU %d back did not say it holds %s within %d s", cpu,
                 path, BOUND_SECONDS);
    }
    end_child(s.guard);
    return false;
}

// The parker is moved to the CPU, the guard started and the CPU taken
// offline; false, with the reason, where the guard or the kernel refuses.
bool go_offline(sweep &s, hotplug_run &h) {
    run_corehop(s, h.corehop, h.cpu, h.parker);
    pass_line(h.line, h.parker, h.cpu);
    h.moved = s.status == 0 && strcmp(s.out, h.line.s) == 0 && s.hindrance.length == 0;
    if (!h.moved) {
        if (s.hindrance.length == 0) {
            text_set(h.lives.got, "the move to CPU %d: status %d: %s", h.cpu, s.status, s.out);
        }
        return true;
    }
    if (!start_guard(s, h.cpu, h.reason)) {
        return false;
    }
    const int error = set_online(h.cpu, false);
    if (error != 0) {
        bring_back(s);
        text_set(h.reason, "the kernel refuses to take CPU %d offline: %s", h.cpu, strerror(error));
        return false;
    }
    s.offline = h.cpu;
    return true;
}

// The kernel widens the CPUs of a task whose only CPU went offline when the
// task next wakes, within the second of its sleep.
void watch_parker(sweep &s, hotplug_run &h) {
    char name[16]{};
    snprintf(name, sizeof name, "%d", h.cpu);
    int seen = cpus_of(s, h.parker, h.cpus);
    for (int waited = 0; seen > 0 && strcmp(h.cpus, name) == 0 && waited < 3000; waited += 10) {
        nap(s, 10);
        seen = cpus_of(s, h.parker, h.cpus);
    }
    char comm[64]{};
    char state = '\0';
    seen = seen < 0 ? seen : state_of(s, h.parker, comm, state);
    for (int waited = 0; seen > 0 && state != 'S' && waited < 1000; waited += 10) {
        nap(s, 10);
        seen = state_of(s, h.parker, comm, state);
    }
    if (seen == 0 || state == 'Z' || state == 'X') {
        text_set(h.lives.got, "the parker is gone");
    } else if (strcmp(h.cpus, name) == 0) {
        text_set(h.lives.got, "the parker stays on offline CPU %d alone", h.cpu);
    } else if (strcmp(comm, "(corenest)") == 0) {
        h.lives.got = h.lives.want;
    } else {
        text_set(h.lives.got, "the parker turned into %s", comm);
    }
}

// corehop refuses the move back while the CPU is offline, and the parker
// keeps its CPUs.
void move_refused(sweep &s, hotplug_run &h) {
    cpus_of(s, h.parker, h.before);
    run_corehop(s, h.corehop, h.cpu, h.parker);
    cpus_of(s, h.parker, h.cpus);
    fail_line(h.line, h.parker, h.cpu);
    text_set(h.refused.want, "status 255: %s; CPUs %s", h.line.s, h.before);
    text_set(h.refused.got, "status %d: %s; CPUs %s", s.status, s.out, h.cpus);
}

// The CPU online again, by the sweep itself, and the guard ended; then the
// move back passes.
void come_back(sweep &s, hotplug_run &h) {
    const int error = set_online(h.cpu, true);
    if (error == 0) {
        s.offline = -1;
    }
    bring_back(s);
    pass_line(h.line, h.parker, h.cpu);
    text_set(h.back.want, "status 0: %s; CPUs %d", h.line.s, h.cpu);
    if (error != 0) {
        char path[64]{};
        online_path(h.cpu, path);
        text_set(h.back.got, "CPU %d stays offline: %s refused 1: %s", h.cpu, path,
                 strerror(error));
        return;
    }
    run_corehop(s, h.corehop, h.cpu, h.parker);
    cpus_of(s, h.parker, h.cpus);
    text_set(h.back.got, "status %d: %s; CPUs %s", s.status, s.out, h.cpus);
}

} // namespace

void hotplug(sweep &s, const char *corehop, const cpu_list &moves, const cpu_list &online,
             pid_t parker, std::span<char> seen, const char *why) {
    static hotplug_run h;
    h = hotplug_run{};
    h.corehop = corehop;
    h.parker = parker;
    h.online = online;
    h.cpu = -1;
    h.top = -1;
    if (why != nullptr) {
        text_set(h.reason, "%s", why);
    } else {
        choose(s, h, moves);
    }
    char name[16] = "N";
    if (h.cpu >= 0 || h.top >= 0) {
        snprintf(name, sizeof name, "%d", h.cpu >= 0 ? h.cpu : h.top);
    }
    text_set(h.lives.what, "the parker lives on as CPU %s goes offline", name);
    text_set(h.refused.what, "corehop refuses to move the parker back to offline CPU %s", name);
    text_set(h.back.what, "corehop moves the parker back to CPU %s once it is online", name);
    text_set(h.lives.want, "the parker lives on, off CPU %s", name);
    if (h.reason.length > 0 || !go_offline(s, h)) {
        for (const pending *p : {&h.lives, &h.refused, &h.back}) {
            skip(s, p->what.s, h.reason.s);
        }
        return;
    }
    if (h.moved) {
        watch_parker(s, h);
    }
    hold_result(s, h.lives);
    move_refused(s, h);
    hold_result(s, h.refused);
    come_back(s, h);
    hold_result(s, h.back);
    snprintf(seen.data(), seen.size(), "%s", h.cpus);
    for (const pending *p : {&h.lives, &h.refused, &h.back}) {
        give_result(s, *p);
    }
}

void bring_back(sweep &s) {
    int error = 0;
    if (s.offline >= 0) {
        error = set_online(s.offline, true);
        s.offline = -1;
    }
    if (s.guard.pid > 0) {
        // Done: the guard ends without a write. Where the sweep could not
        // bring the CPU back, the guard's input ends without the byte, and
        // it tries too. (A guard gone makes the send fail, with no signal.)
        const char done = 'd';
        if (error == 0) {
            send(s.guard.in, &done, 1, MSG_NOSIGNAL);
        }
        end_child(s.guard, REAP_MS);
    }
}
