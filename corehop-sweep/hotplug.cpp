// SPDX-License-Identifier: MIT
// corehop-sweep -H: a CPU moved to goes offline under the parker and comes
// back. Nothing outside the sweep may lose a binding for good: the CPU is one
// that no user task and no interrupt may use alone, and, under cgroup v1, that
// no cpuset but the root one holds, as a mount of the hierarchy of its own
// shows it; else the checks skip, naming what holds it. A guard child in a
// session of its own brings the CPU back should the sweep die, even by a
// SIGKILL of its whole process group.
#include "cgroup.h"
#include "proc_text.h"
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
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const V1_NOTE =
    "(with cgroup v1, a CPU that goes offline leaves every cpuset but the root one for good)";
// The inode of the first cgroup namespace, the host's.
constexpr ino_t FIRST_CGROUP_NAMESPACE = 0xEFFFFFFB;
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

// What may use the CPUs that could go offline (the candidates) alone, and
// what holds the last of them: the reason to skip where all are held.
struct holders {
    cpu_list online;
    cpu_list candidates;
    int top;
    pid_t parker;
    cpu_list held;
    text holder;
};

// The CPU a list of the kernel names alone among the online ones, or -1.
int alone_on(const holders &h, const char *list) {
    cpu_list cpus{};
    if (!cpu_list_parse(list, cpus)) {
        return -1;
    }
    const cpu_list both = cpu_list_both(cpus, h.online);
    return cpu_list_count(both) == 1 ? cpu_list_next(both, -1) : -1;
}

void hold(holders &h, int cpu, const char *what) {
    if (!cpu_list_has(h.candidates, cpu)) {
        return;
    }
    cpu_list_add(h.held, cpu, cpu);
    if (cpu == h.top && h.holder.length == 0) {
        text_set(h.holder, "%s may run on CPU %d alone, and would lose that binding for good", what,
                 cpu);
    }
}

long number_of(const char *name) {
    char *end = nullptr;
    const long number = strtol(name, &end, 10);
    return *name != '\0' && *end == '\0' ? number : -1;
}

// A thread of the process in search.dir: a user task bound to one CPU.
struct task_scan {
    holders *h;
    long pid;
};

bool scan_thread(void *context, const char *name, unsigned char /*type*/) {
    const auto &process = *static_cast<task_scan *>(context);
    const long tid = number_of(name);
    if (tid < 0) {
        return true;
    }
    char path[96]{};
    snprintf(path, sizeof path, "/proc/%ld/task/%ld/stat", process.pid, tid);
    char stat[1024]{};
    if (read_file(path, stat) < 0) {
        return true;
    }
    const task_stat task = task_stat_parse(stat);
    if ((task.flags & TASK_KERNEL_THREAD) != 0) {
        return true;
    }
    static char status[CPU_LIST_TEXT_MAX * 2];
    snprintf(path, sizeof path, "/proc/%ld/task/%ld/status", process.pid, tid);
    if (read_file(path, status) < 0) {
        return true;
    }
    const std::string_view cpus = status_field(status, "Cpus_allowed_list");
    static char list[CPU_LIST_TEXT_MAX];
    snprintf(list, sizeof list, "%.*s", static_cast<int>(cpus.size()), cpus.data());
    const int cpu = alone_on(*process.h, list);
    if (cpu >= 0) {
        char what[128]{};
        snprintf(what, sizeof what, "task %ld %.*s", tid, static_cast<int>(task.comm.size()),
                 task.comm.data());
        hold(*process.h, cpu, what);
    }
    return true;
}

bool scan_process(void *context, const char *name, unsigned char /*type*/) {
    auto &h = *static_cast<holders *>(context);
    const long pid = number_of(name);
    if (pid < 0 || pid == h.parker) {
        return true;
    }
    char path[64]{};
    snprintf(path, sizeof path, "/proc/%ld/task", pid);
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        task_scan process{.h = &h, .pid = pid};
        each_entry(fd, scan_thread, &process);
        close(fd);
    }
    return true;
}

bool has_folder(void *context, const char * /*name*/, unsigned char type) {
    *static_cast<bool *>(context) = type == DT_DIR;
    return type != DT_DIR;
}

// An interrupt bound to one CPU, that handles something (a folder of its
// handler stands beside its files), and whose binding the kernel does not
// keep itself: a managed or per-CPU one refuses its own binding written back
// (EIO), which leaves it as it was.
bool scan_irq(void *context, const char *name, unsigned char /*type*/) {
    auto &h = *static_cast<holders *>(context);
    if (number_of(name) < 0) {
        return true;
    }
    char path[96]{};
    snprintf(path, sizeof path, "/proc/irq/%s/smp_affinity_list", name);
    static char list[CPU_LIST_TEXT_MAX];
    read_line(path, list);
    const int cpu = alone_on(h, list);
    if (cpu < 0 || !cpu_list_has(h.candidates, cpu)) {
        return true;
    }
    snprintf(path, sizeof path, "/proc/irq/%s", name);
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool handled = false;
    if (fd >= 0) {
        each_entry(fd, has_folder, &handled);
        close(fd);
    }
    if (!handled) {
        return true;
    }
    snprintf(path, sizeof path, "/proc/irq/%s/smp_affinity_list", name);
    const int file = open(path, O_WRONLY | O_CLOEXEC);
    if (file >= 0) {
        const bool kept = write(file, list, strlen(list)) < 0 && errno == EIO;
        close(file);
        if (kept) {
            return true;
        }
    }
    char what[64]{};
    snprintf(what, sizeof what, "IRQ %s", name);
    hold(h, cpu, what);
    return true;
}

void scan_folder(const char *folder, bool (*visit)(void *, const char *, unsigned char),
                 holders &h) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        each_entry(fd, visit, &h);
        close(fd);
    }
}

// The cgroup v1 cpuset hierarchy as the mount table shows it: its options
// (its controllers, to mount it again) and a mount of it whole.
struct v1_mount {
    char options[512];
    char point[PATH_TEXT_MAX];
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
    bool failed = false;
};

bool walk_cpuset(void *context, const char *name, unsigned char type) {
    auto &walk = *static_cast<v1_walk *>(context);
    if (type != DT_DIR && type != DT_UNKNOWN) {
        return true;
    }
    const size_t length = strlen(walk.path);
    const int n = snprintf(std::span(walk.path).subspan(length).data(), sizeof walk.path - length,
                           "/%s", name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof walk.path - length ||
        walk.depth >= MAX_CPUSET_DEPTH) {
        walk.failed = true;
        return false;
    }
    const int fd = open(walk.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        // (mounted with noprefix, its files have no "cpuset." before them)
        char file[PATH_TEXT_MAX + 16]{};
        static char cpus[CPU_LIST_TEXT_MAX];
        snprintf(file, sizeof file, "%s/cpuset.cpus", walk.path);
        if (read_file(file, cpus) < 0) {
            snprintf(file, sizeof file, "%s/cpus", walk.path);
            read_line(file, cpus);
        }
        cpu_list list{};
        const std::string_view text(cpus);
        if (cpu_list_parse(part(text, 0, text.find('\n')), list)) {
            if (cpu_list_has(list, walk.top) && walk.holder[0] == '\0') {
                snprintf(walk.holder, sizeof walk.holder, "%s",
                         std::span(walk.path).subspan(walk.root_length).data());
            }
            const cpu_list held = cpu_list_both(walk.candidates, list);
            for (int cpu = cpu_list_next(held, -1); cpu >= 0; cpu = cpu_list_next(held, cpu)) {
                cpu_list_add(walk.held, cpu, cpu);
            }
        }
        ++walk.depth;
        walk.failed = walk.failed || !each_entry(fd, walk_cpuset, &walk);
        --walk.depth;
        close(fd);
    }
    std::span(walk.path)[length] = '\0';
    return !walk.failed;
}

// In the child: mounts the hierarchy afresh in a mount namespace of its own
// and walks it; prints the candidate to take, "held PATH" or "no REASON".
[[noreturn]] void v1_child(const char *options, const cpu_list &candidates) {
    static v1_walk walk;
    walk.candidates = candidates;
    walk.top = cpu_list_last(candidates);
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
        mount("cgroup", point, "cgroup", MS_NOSUID | MS_NODEV | MS_NOEXEC, options) != 0) {
        printf("no the cgroup v1 cpuset hierarchy cannot be mounted afresh here (%s)",
               strerror(errno));
        _exit(fflush(stdout) == 0 ? 0 : 1);
    }
    snprintf(walk.path, sizeof walk.path, "%s", point);
    walk.root_length = strlen(walk.path);
    const int fd = open(point, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || !each_entry(fd, walk_cpuset, &walk) || walk.failed) {
        printf("no the cgroup v1 cpuset hierarchy cannot be read whole");
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

// Under cgroup v1: the last candidate no cpuset but the root one holds, or -1
// and the reason.
int v1_guard(sweep &s, const cpu_list &candidates, text &reason) {
    static v1_mount v1;
    each_line("/proc/self/mountinfo", find_v1, &v1);
    struct stat ns = {};
    if (stat("/proc/self/ns/cgroup", &ns) == 0 && ns.st_ino != FIRST_CGROUP_NAMESPACE) {
        text_set(reason,
                 "in a cgroup namespace, where the other cgroup v1 cpusets cannot be seen %s",
                 V1_NOTE);
        return -1;
    }
    fflush(stdout);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        text_set(reason, "no pipe: %s", strerror(errno));
        return -1;
    }
    const pid_t sweep_pid = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != sweep_pid || dup2(fds[1], STDOUT_FILENO) < 0) {
            _exit(1);
        }
        v1_child(v1.options[0] != '\0' ? v1.options : "cpuset", candidates);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        text_set(reason, "no child: %s", strerror(errno));
        return -1;
    }
    setpgid(pid, pid);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    s.tool = child{.pid = pid, .pidfd = open_pidfd(pid), .out = fds[0]};
    finish_tool(s, s.tool, BOUND_SECONDS * 1000);
    const std::string_view said(s.out);
    if (s.status == 0 && !said.empty() && said.front() >= '0' && said.front() <= '9') {
        return static_cast<int>(strtol(s.out, nullptr, 10));
    }
    if (s.status == 0 && said.starts_with("held ")) {
        text_set(reason, "the cgroup v1 cpuset %s%s holds CPU %d %s", v1.point, s.out + 5,
                 cpu_list_last(candidates), V1_NOTE);
    } else if (s.status == 0 && said.starts_with("no ")) {
        text_set(reason, "%s %s", s.out + 3, V1_NOTE);
    } else {
        text_set(reason, "the walk of the cgroup v1 cpusets ended with status %d: %s %s", s.status,
                 s.out, V1_NOTE);
    }
    return -1;
}

// The CPU to take offline: the last one moved to that the kernel lets go
// offline and nothing would lose for good; else -1 and the reason. The last
// that may go offline at all, if any, in named.
int choose(sweep &s, const cpu_list &moves, const cpu_list &online, pid_t parker, text &reason,
           int &named) {
    static holders h;
    h = holders{};
    reason.length = 0;
    reason.s[0] = '\0';
    if (cpu_list_count(online) < 2) {
        text_set(reason, "one CPU online");
        return -1;
    }
    for (int cpu = cpu_list_next(moves, -1); cpu >= 0; cpu = cpu_list_next(moves, cpu)) {
        char path[64]{};
        online_path(cpu, path);
        if (access(path, F_OK) != 0) {
            continue;
        }
        if (access(path, W_OK) == 0) {
            cpu_list_add(h.candidates, cpu, cpu);
        } else if (errno == EROFS) {
            text_set(reason, "%s is on a read-only file system", path);
        } else {
            text_set(reason, "needs root: %s is not writable", path);
        }
    }
    if (cpu_list_count(h.candidates) == 0) {
        if (reason.length == 0) {
            text_set(reason, "no CPU moved to can go offline here");
        }
        return -1;
    }
    h.online = online;
    h.parker = parker;
    h.top = cpu_list_last(h.candidates);
    named = h.top;
    scan_folder("/proc", scan_process, h);
    scan_folder("/proc/irq", scan_irq, h);
    const cpu_list free_cpus = cpu_list_but(h.candidates, h.held);
    if (cpu_list_count(free_cpus) == 0) {
        text_set(reason, "%s", h.holder.s);
        return -1;
    }
    static char cgroups[4096];
    if (read_file("/proc/self/cgroup", cgroups) < 0) {
        text_set(reason, "/proc/self/cgroup cannot be read %s", V1_NOTE);
        return -1;
    }
    if (!own_cgroups_parse(cgroups).has_v1) {
        return cpu_list_last(free_cpus);
    }
    return v1_guard(s, free_cpus, reason);
}

// Starts the guard: a child in a session of its own, which the sweep's
// process group and its signals do not reach, and which writes 1 to the
// CPU's online file once its pipe ends without a byte, as when the sweep dies.
bool start_guard(sweep &s, int cpu) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        char path[64]{};
        online_path(cpu, path);
        const int file = open(path, O_WRONLY | O_CLOEXEC);
        if (dup2(fds[0], STDIN_FILENO) < 0 || dup2(file, STDOUT_FILENO) < 0) {
            _exit(1);
        }
        close_range(STDERR_FILENO, ~0U, 0);
        char byte = 0;
        ssize_t n = 0;
        while ((n = read(STDIN_FILENO, &byte, 1)) < 0 && errno == EINTR) {
        }
        _exit(n == 0 && write(STDOUT_FILENO, "1\n", 2) != 2 ? 1 : 0);
    }
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        return false;
    }
    s.guard = pid;
    s.guard_fd = fds[1];
    // (until it is in its own session, a SIGKILL of the group would end it)
    for (int waited = 0; getsid(pid) != pid && waited < BOUND_SECONDS * 1000; ++waited) {
        nap(s, 1);
    }
    return getsid(pid) == pid;
}

} // namespace

void hotplug(sweep &s, const char *corehop, const cpu_list &moves, const cpu_list &online,
             pid_t parker, std::span<char> seen) {
    static text reason;
    static text want;
    static text got;
    static text line;
    static char before[CPU_LIST_TEXT_MAX];
    static char cpus[CPU_LIST_TEXT_MAX];
    int named = -1;
    const int cpu = choose(s, moves, online, parker, reason, named);
    if (cpu >= 0 && parker < 0) {
        text_set(reason, "no parker");
    }
    char name[16] = "N";
    if (cpu >= 0 || named >= 0) {
        snprintf(name, sizeof name, "%d", cpu >= 0 ? cpu : named);
    }
    static text lives;
    static text refused;
    static text back;
    text_set(lives, "the parker lives on as CPU %s goes offline", name);
    text_set(refused, "corehop refuses to move the parker back to offline CPU %s", name);
    text_set(back, "corehop moves the parker back to CPU %s once it is online", name);
    if (reason.length > 0) {
        skip(s, lives.s, reason.s);
        skip(s, refused.s, reason.s);
        skip(s, back.s, reason.s);
        return;
    }
    run_corehop(s, corehop, cpu, parker);
    pass_line(line, parker, cpu);
    text_set(want, "the parker lives on, off CPU %d", cpu);
    if (s.status != 0 || strcmp(s.out, line.s) != 0) {
        text_set(got, "the move to CPU %d: status %d: %s", cpu, s.status, s.out);
    } else {
        const bool guarded = start_guard(s, cpu);
        const int error = guarded ? set_online(cpu, false) : errno;
        if (!guarded || error != 0) {
            bring_back(s);
            if (guarded) {
                text_set(reason, "the kernel refuses to take CPU %d offline: %s", cpu,
                         strerror(error));
            } else {
                text_set(reason, "no guard to bring CPU %d back could be started: %s", cpu,
                         strerror(error));
            }
            skip(s, lives.s, reason.s);
            skip(s, refused.s, reason.s);
            skip(s, back.s, reason.s);
            return;
        }
        s.offline = cpu;
        // The kernel widens the CPUs of a task whose only CPU went offline
        // when the task next wakes, within the second of its sleep.
        cpus_of(parker, cpus);
        for (int waited = 0; strcmp(cpus, name) == 0 && waited < 3000; waited += 10) {
            nap(s, 10);
            cpus_of(parker, cpus);
        }
        char comm[64]{};
        char state = state_of(parker, comm);
        for (int waited = 0; state != 'S' && state != '\0' && waited < 1000; waited += 10) {
            nap(s, 10);
            state = state_of(parker, comm);
        }
        if (state == '\0' || state == 'Z' || state == 'X') {
            text_set(got, "the parker is gone");
        } else if (strcmp(cpus, name) == 0) {
            text_set(got, "the parker stays on offline CPU %d alone", cpu);
        } else if (strcmp(comm, "(corenest)") == 0) {
            text_set(got, "%s", want.s);
        } else {
            text_set(got, "the parker turned into %s", comm);
        }
    }
    result(s, lives.s, got.s, want.s);
    cpus_of(parker, before);
    run_corehop(s, corehop, cpu, parker);
    cpus_of(parker, cpus);
    fail_line(line, parker, cpu);
    text_set(want, "status 255: %s; CPUs %s", line.s, before);
    text_set(got, "status %d: %s; CPUs %s", s.status, s.out, cpus);
    result(s, refused.s, got.s, want.s);
    char path[64]{};
    online_path(cpu, path);
    if (set_online(cpu, true) == 0) {
        // (online again: the guard alone is left to end)
        s.offline = -1;
        bring_back(s);
        run_corehop(s, corehop, cpu, parker);
        cpus_of(parker, cpus);
        text_set(got, "status %d: %s; CPUs %s", s.status, s.out, cpus);
    } else {
        text_set(got, "CPU %d stays offline: %s refused 1", cpu, path);
    }
    snprintf(seen.data(), seen.size(), "%s", cpus);
    pass_line(line, parker, cpu);
    text_set(want, "status 0: %s; CPUs %d", line.s, cpu);
    result(s, back.s, got.s, want.s);
}

void bring_back(sweep &s) {
    if (s.offline >= 0) {
        set_online(s.offline, true);
        s.offline = -1;
    }
    if (s.guard > 0) {
        // (should the byte not go, the pipe's end has the guard write 1 to
        // the online CPU, which changes nothing)
        const char done = 'd';
        [[maybe_unused]] const ssize_t said = write(s.guard_fd, &done, 1);
        close(s.guard_fd);
        waitpid(s.guard, nullptr, 0);
        s.guard = -1;
        s.guard_fd = -1;
    }
}
