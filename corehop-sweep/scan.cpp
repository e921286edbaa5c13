// SPDX-License-Identifier: MIT
#include "scan.h"
#include "cgroup.h"
#include "cpu_list.h"
#include "proc_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The inodes the kernel gives the namespaces it starts with.
constexpr ino_t FIRST_USER = 0xEFFFFFFD;
constexpr ino_t FIRST_PID = 0xEFFFFFFC;
constexpr ino_t FIRST_CGROUP = 0xEFFFFFFB;

long number_of(const char *name) {
    char *end = nullptr;
    const long number = strtol(name, &end, 10);
    return *name != '\0' && *end == '\0' ? number : -1;
}

const char *last_part(std::span<char> path) {
    return strrchr(path.data(), '/') + 1;
}

// The options of the /proc mount that /proc names: the last of them.
struct proc_mount {
    bool found{};
    proc_options options{};
};

bool find_proc(void *context, std::string_view line) {
    mount_line mount;
    if (mount_line_parse(line, mount) && mount.point == "/proc" && mount.type == "proc") {
        *static_cast<proc_mount *>(context) = {.found = true,
                                               .options = proc_options_parse(mount.super)};
    }
    return true;
}

// Whether this process may ptrace every task (CAP_SYS_PTRACE in the first
// user namespace), and is a member of gid there.
unseen rights(long gid, bool &may_ptrace_all, bool &in_gid) {
    bool first = false;
    unseen u = first_namespace("user", first);
    if (is_unseen(u)) {
        return u;
    }
    static char status[4096];
    u = read_file("/proc/self/status", status);
    if (is_unseen(u)) {
        return u;
    }
    uint64_t caps = 0;
    if (!status_mask(status, "CapEff", caps)) {
        return unseen_said("/proc/self/status", EINVAL, "/proc/self/status holds no CapEff");
    }
    may_ptrace_all = first && (caps & (uint64_t{1} << CAP_SYS_PTRACE_BIT)) != 0;
    gid_t groups[256];
    const int count = getgroups(256, groups);
    in_gid = first && gid >= 0 &&
             (static_cast<long>(getegid()) == gid ||
              std::any_of(groups, groups + std::max(count, 0),
                          [gid](gid_t g) { return static_cast<long>(g) == gid; }));
    return {};
}

// /proc is the first PID namespace's: its pid 2 is kthreadd, the kernel's
// thread that only the first namespace holds.
unseen proc_is_first(bool &first) {
    char stat[1024]{};
    const unseen read = read_task_file(2, -1, "stat", stat);
    if (is_unseen(read) && !task_gone(read)) {
        return read;
    }
    first = !is_unseen(read) && (task_stat_parse(stat).flags & TASK_KERNEL_THREAD) != 0;
    return {};
}

struct thread_walk {
    bool kernel_too;
    long skip_pid;
    bool (*visit)(void *, const thread_seen &);
    void *context;
    long pid;
    bool stopped;
};

// Reads a file of a thread: true where it could be read. A thread gone is
// passed over; any other failure is said in failed.
bool read_thread_file(const thread_walk &walk, long tid, const char *name, std::span<char> buf,
                      unseen &failed) {
    const unseen read = read_task_file(walk.pid, tid, name, buf);
    if (is_unseen(read) && !task_gone(read)) {
        failed = read;
    }
    return !is_unseen(read);
}

walk_step visit_thread(void *context, std::span<char> path, int /*depth*/, unsigned char /*type*/,
                       unseen &failed) {
    auto &walk = *static_cast<thread_walk *>(context);
    const long tid = number_of(last_part(path));
    if (tid < 0) {
        return walk_step::pass;
    }
    char stat[1024]{};
    if (!read_thread_file(walk, tid, "stat", stat, failed)) {
        return walk_step::pass;
    }
    const task_stat task = task_stat_parse(stat);
    const bool kernel = (task.flags & TASK_KERNEL_THREAD) != 0;
    if (kernel && !walk.kernel_too) {
        return walk_step::pass;
    }
    static char status[CPU_LIST_TEXT_MAX * 2];
    if (!read_thread_file(walk, tid, "status", status, failed)) {
        return walk_step::pass;
    }
    const thread_seen thread{.pid = walk.pid,
                             .tid = tid,
                             .comm = task.comm,
                             .state = task.state,
                             .kernel = kernel,
                             .cpus = status_field(status, "Cpus_allowed_list")};
    walk.stopped = !walk.visit(walk.context, thread);
    return walk.stopped ? walk_step::stop : walk_step::pass;
}

walk_step visit_process(void *context, std::span<char> path, int /*depth*/, unsigned char /*type*/,
                        unseen &failed) {
    auto &walk = *static_cast<thread_walk *>(context);
    walk.pid = number_of(last_part(path));
    if (walk.pid < 0 || walk.pid == walk.skip_pid) {
        return walk_step::pass;
    }
    static char tasks[PATH_TEXT_MAX];
    snprintf(tasks, sizeof tasks, "/proc/%ld/task", walk.pid);
    const unseen read = walk_folder(tasks, 1, visit_thread, &walk);
    if (is_unseen(read) && !task_gone(read)) {
        failed = read;
    }
    return walk.stopped ? walk_step::stop : walk_step::pass;
}

struct irq_walk {
    bool (*visit)(void *, const char *, std::string_view);
    void *context;
};

walk_step visit_irq(void *context, std::span<char> path, int /*depth*/, unsigned char /*type*/,
                    unseen &failed) {
    auto &walk = *static_cast<irq_walk *>(context);
    const char *const number = last_part(path);
    if (number_of(number) < 0) {
        return walk_step::pass;
    }
    char file[96]{};
    snprintf(file, sizeof file, "/proc/irq/%s/smp_affinity_list", number);
    static char list[CPU_LIST_TEXT_MAX];
    const unseen read = read_line(file, list);
    // (an interrupt freed meanwhile is gone)
    if (is_unseen(read)) {
        if (read.error != ENOENT) {
            failed = read;
        }
        return walk_step::pass;
    }
    return walk.visit(walk.context, number, list) ? walk_step::pass : walk_step::stop;
}

// The first folder of an interrupt's: its handler, by the name it took.
walk_step first_folder(void *context, std::span<char> path, int /*depth*/, unsigned char type,
                       unseen & /*failed*/) {
    if (type != DT_DIR) {
        return walk_step::pass;
    }
    const auto action = *static_cast<std::span<char> *>(context);
    snprintf(action.data(), action.size(), "%s", last_part(path));
    return walk_step::stop;
}

} // namespace

unseen first_namespace(const char *kind, bool &first) {
    char path[64]{};
    snprintf(path, sizeof path, "/proc/self/ns/%s", kind);
    struct stat ns = {};
    if (stat(path, &ns) != 0) {
        return unseen_read(path, errno);
    }
    ino_t wanted = FIRST_CGROUP;
    if (strcmp(kind, "pid") == 0) {
        wanted = FIRST_PID;
    } else if (strcmp(kind, "user") == 0) {
        wanted = FIRST_USER;
    }
    first = ns.st_ino == wanted;
    return {};
}

unseen every_task_seen(const char *hidden) {
    static char mounts[size_t{64} * 1024];
    proc_mount proc{.found = false, .options = {}};
    unseen u = each_line("/proc/self/mountinfo", mounts, find_proc, &proc);
    if (is_unseen(u)) {
        return u;
    }
    if (!proc.found) {
        return unseen_said("/proc", ENOENT, "no proc file system is mounted at /proc");
    }
    bool may_ptrace_all = false;
    bool in_gid = false;
    u = rights(proc.options.gid, may_ptrace_all, in_gid);
    if (is_unseen(u)) {
        return u;
    }
    const char *const hides = proc_hides(proc.options, may_ptrace_all, in_gid);
    if (hides != nullptr) {
        return unseen_said("/proc", EACCES, "%s", hides);
    }
    bool proc_first = false;
    bool self_first = false;
    u = proc_is_first(proc_first);
    if (!is_unseen(u) && !proc_first) {
        u = first_namespace("pid", self_first);
    }
    if (is_unseen(u) || proc_first) {
        return u;
    }
    return self_first
               ? unseen_said("/proc", 0,
                             "/proc is a PID namespace's other than the first, which hides %s",
                             hidden)
               : unseen_said("/proc", 0,
                             "in a PID namespace other than the first, whose /proc hides %s",
                             hidden);
}

unseen each_thread(bool kernel_too, long skip_pid,
                   bool (*visit)(void *context, const thread_seen &thread), void *context) {
    thread_walk walk{.kernel_too = kernel_too,
                     .skip_pid = skip_pid,
                     .visit = visit,
                     .context = context,
                     .pid = -1,
                     .stopped = false};
    static char proc[PATH_TEXT_MAX];
    snprintf(proc, sizeof proc, "/proc");
    return walk_folder(proc, 1, visit_process, &walk);
}

unseen each_irq(bool (*visit)(void *context, const char *number, std::string_view affinity),
                void *context) {
    irq_walk walk{.visit = visit, .context = context};
    static char irqs[PATH_TEXT_MAX];
    snprintf(irqs, sizeof irqs, "/proc/irq");
    return walk_folder(irqs, 1, visit_irq, &walk);
}

unseen irq_action(const char *number, std::span<char> action) {
    static char path[PATH_TEXT_MAX];
    snprintf(path, sizeof path, "/proc/irq/%s", number);
    action[0] = '\0';
    const unseen read = walk_folder(path, 1, first_folder, &action);
    return is_unseen(read) && read.error == ENOENT ? unseen{} : read;
}

unseen irq_file(const char *number, const char *name, std::span<char> buf, bool &shown) {
    char path[96]{};
    snprintf(path, sizeof path, "/proc/irq/%s/%s", number, name);
    const unseen read = read_line(path, buf);
    shown = !is_unseen(read);
    return is_unseen(read) && read.error == ENOENT ? unseen{} : read;
}

unseen proc_self(long &pid) {
    char seen[64]{};
    const ssize_t n = readlink("/proc/self", seen, sizeof seen - 1);
    if (n < 0) {
        return unseen_read("/proc/self", errno);
    }
    pid = strtol(seen, nullptr, 10);
    return {};
}
