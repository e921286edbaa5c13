// SPDX-License-Identifier: MIT
#include "hotplug.h"
#include "cgroup.h"
#include "children.h"
#include "machine.h"
#include "scan.h"
#include "text_part.h"
#include "verdict.h"

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

// One -H run: the CPU, what would lose a binding to it, and why the checks
// skip, where they do.
struct hotplug_run {
    const hotplug_plan *plan{};
    cpu_list candidates{}; // the CPUs moved to that may go offline
    int cpu{};             // the one to take offline, or -1
    int top{};             // the last candidate, which the checks name
    cpu_list held{};       // candidates a task or an interrupt may use alone
    text holder{};         // what holds top
    unseen why{};          // why the checks skip
    char cpus[CPU_LIST_TEXT_MAX]{};
    char before[CPU_LIST_TEXT_MAX]{};
    char line[VERDICT_LINE_MAX]{};
};

// The CPU a list of the kernel names alone among the online ones, or -1.
int alone_on(const hotplug_run &h, std::string_view list) {
    cpu_list cpus{};
    if (!cpu_list_parse(list, cpus)) {
        return -1;
    }
    const cpu_list both = cpu_list_both(cpus, h.plan->online);
    return cpu_list_count(both) == 1 ? cpu_list_next(both, -1) : -1;
}

void hold(hotplug_run &h, int cpu, const char *what, std::string_view name) {
    if (!cpu_list_has(h.candidates, cpu)) {
        return;
    }
    cpu_list_add(h.held, cpu, cpu);
    if (cpu == h.top && h.holder.length == 0) {
        text_set(h.holder, "%s", what);
        text_add_bytes(h.holder, name);
        text_add(h.holder, " may run on CPU %d alone, and would lose that binding for good", cpu);
    }
}

// A user task bound to one CPU (an ended one, waiting to be reaped, runs
// nowhere).
bool hold_thread(void *context, const thread_seen &thread) {
    auto &h = *static_cast<hotplug_run *>(context);
    if (thread.state == 'Z' || thread.state == 'X') {
        return true;
    }
    const int cpu = alone_on(h, thread.cpus);
    if (cpu >= 0) {
        char what[64]{};
        snprintf(what, sizeof what, "task %ld ", thread.tid);
        hold(h, cpu, what, thread.comm);
    }
    return true;
}

// An interrupt bound to one CPU, that handles something, and whose binding
// the kernel does not keep itself: a managed or per-CPU one refuses its own
// binding written back (EIO), which leaves it as it was.
bool hold_irq(void *context, const char *number, std::string_view affinity) {
    auto &h = *static_cast<hotplug_run *>(context);
    const int cpu = alone_on(h, affinity);
    if (cpu < 0 || !cpu_list_has(h.candidates, cpu)) {
        return true;
    }
    char action[64]{};
    h.why = irq_action(number, action);
    if (is_unseen(h.why) || action[0] == '\0') {
        return !is_unseen(h.why);
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
    hold(h, cpu, what, "");
    return true;
}

// The candidates that no user task and no interrupt may use alone; what
// could not be seen, where not every task and interrupt can be.
unseen scan_holders(hotplug_run &h) {
    unseen u = every_task_seen("the tasks bound to a CPU outside it");
    if (is_unseen(u)) {
        return u;
    }
    u = each_thread(false, h.plan->parker, hold_thread, &h);
    if (is_unseen(u)) {
        return u;
    }
    u = each_irq(hold_irq, &h);
    return is_unseen(u) ? u : h.why;
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
            const std::string_view option = take_until(rest, ',');
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

// The walk of a fresh mount of the hierarchy, in a child of the run's:
// which candidates a cpuset but the root one holds, and the first cpuset
// that holds the last of them.
struct v1_walk {
    cpu_list candidates{};
    int top = -1;
    cpu_list held{};
    size_t root_length = 0;
    char holder[PATH_TEXT_MAX]{};
};

walk_step walk_cpuset(void *context, std::span<char> path, int /*depth*/, unsigned char type,
                      unseen &failed) {
    if (type != DT_DIR && type != DT_UNKNOWN) {
        return walk_step::pass;
    }
    // (mounted with noprefix, its files have no "cpuset." before them)
    static char cpus[CPU_LIST_TEXT_MAX];
    char file[PATH_TEXT_MAX + 16]{};
    unseen read;
    for (const char *name : {"cpuset.cpus", "cpus"}) {
        snprintf(file, sizeof file, "%s/%s", path.data(), name);
        read = read_line(file, cpus);
        if (read.error != ENOENT) {
            break;
        }
    }
    // (no such file: no cpuset, or one removed meanwhile)
    if (is_unseen(read)) {
        failed = read.error == ENOENT ? unseen{} : read;
        return walk_step::pass;
    }
    cpu_list list{};
    if (cpu_list_parse(cpus, list)) {
        auto &walk = *static_cast<v1_walk *>(context);
        if (cpu_list_has(list, walk.top) && walk.holder[0] == '\0') {
            snprintf(walk.holder, sizeof walk.holder, "%s", path.subspan(walk.root_length).data());
        }
        const cpu_list now = cpu_list_both(walk.candidates, list);
        for (int cpu = cpu_list_next(now, -1); cpu >= 0; cpu = cpu_list_next(now, cpu)) {
            cpu_list_add(walk.held, cpu, cpu);
        }
    }
    return walk_step::descend;
}

// In the child: mounts the hierarchy afresh in a mount namespace of its own
// and walks it; prints the candidate to take, "held PATH" or "no REASON".
const char *v1_child(const void *context) {
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
    static char path[PATH_TEXT_MAX];
    snprintf(path, sizeof path, "%s", point);
    walk.root_length = strlen(path);
    const unseen read = walk_folder(path, MAX_CPUSET_DEPTH, walk_cpuset, &walk);
    if (is_unseen(read)) {
        printf("no the cgroup v1 cpuset %s cannot be read: %s",
               strlen(read.subject) > walk.root_length ? read.subject + walk.root_length : "/",
               strerror(read.error));
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
int walk_v1_cpusets(const cpu_list &free_cpus, unseen &why) {
    static v1_mount v1;
    static char mounts[size_t{64} * 1024];
    v1 = v1_mount{};
    v1.candidates = free_cpus;
    why = each_line("/proc/self/mountinfo", mounts, find_v1, &v1);
    bool first = false;
    if (!is_unseen(why)) {
        why = first_namespace("cgroup", first);
    }
    if (is_unseen(why)) {
        why = unseen_said(why.subject, why.error, "%s %s", why.text, V1_NOTE);
        return -1;
    }
    if (!first) {
        why = unseen_said("cgroup", 0,
                          "in a cgroup namespace, where the other cgroup v1 cpusets cannot be "
                          "seen %s",
                          V1_NOTE);
        return -1;
    }
    const tool_result &r = run_child(start_how{.name = "the walk of the cgroup v1 cpusets",
                                               .session = false,
                                               .execs = false,
                                               .input = -1,
                                               .body = v1_child,
                                               .context = &v1});
    const std::string_view said = output_of(r);
    if (is_unseen(r.hindrance)) {
        why =
            unseen_said(r.hindrance.subject, r.hindrance.error, "%s %s", r.hindrance.text, V1_NOTE);
    } else if (r.status == 0 && !said.empty() && said.front() >= '0' && said.front() <= '9') {
        return static_cast<int>(strtol(r.output, nullptr, 10));
    } else if (r.status == 0 && said.starts_with("held ")) {
        why = unseen_said("cgroup", 0, "the cgroup v1 cpuset %s%.*s holds CPU %d %s", v1.point,
                          static_cast<int>(said.size() - 5), said.data() + 5,
                          cpu_list_last(free_cpus), V1_NOTE);
    } else if (r.status == 0 && said.starts_with("no ")) {
        why = unseen_said("cgroup", 0, "%.*s %s", static_cast<int>(said.size() - 3),
                          said.data() + 3, V1_NOTE);
    } else {
        why = unseen_said("cgroup", 0,
                          "the walk of the cgroup v1 cpusets ended with status %d: %.*s %s",
                          r.status, static_cast<int>(said.size()), said.data(), V1_NOTE);
    }
    return -1;
}

// The CPUs moved to whose online file root may write; the reason where
// there is none.
void find_candidates(hotplug_run &h) {
    const cpu_list &moves = h.plan->moves;
    for (int cpu = cpu_list_next(moves, -1); cpu >= 0; cpu = cpu_list_next(moves, cpu)) {
        char path[64]{};
        online_path(cpu, path);
        if (access(path, F_OK) != 0) {
            continue;
        }
        if (access(path, W_OK) == 0) {
            cpu_list_add(h.candidates, cpu, cpu);
        } else if (errno == EROFS) {
            h.why = unseen_said(path, EROFS, "%s is on a read-only file system", path);
        } else {
            h.why = unseen_said(path, errno, "needs root: %s is not writable", path);
        }
    }
    if (cpu_list_count(h.candidates) == 0 && !is_unseen(h.why)) {
        h.why = unseen_said("online", 0, "no CPU moved to can go offline here");
    }
    h.top = cpu_list_last(h.candidates);
    if (cpu_list_count(h.candidates) > 0) {
        h.why = unseen{};
    }
}

// The CPU to take offline: the last one moved to that the kernel lets go
// offline and nothing would lose for good; else the reason.
void choose(hotplug_run &h) {
    if (cpu_list_count(h.plan->online) < 2) {
        h.why = unseen_said("online", 0, "one CPU online");
        return;
    }
    find_candidates(h);
    if (is_unseen(h.why)) {
        return;
    }
    h.why = scan_holders(h);
    if (is_unseen(h.why)) {
        return;
    }
    const cpu_list free_cpus = cpu_list_but(h.candidates, h.held);
    if (cpu_list_count(free_cpus) == 0) {
        h.why = unseen_said("holder", 0, "%s", h.holder.s);
        return;
    }
    static char cgroups[4096];
    const unseen read = read_file("/proc/self/cgroup", cgroups);
    if (is_unseen(read)) {
        h.why = unseen_said(read.subject, read.error, "%s %s", read.text, V1_NOTE);
        return;
    }
    h.cpu = own_cgroups_parse(cgroups).has_v1 ? walk_v1_cpusets(free_cpus, h.why)
                                              : cpu_list_last(free_cpus);
    if (h.cpu >= 0 && !h.plan->parked) {
        h.why = unseen_said("parker", 0, "no parker");
        h.cpu = -1;
    }
}

// The guard: holds the CPU's online file open, says so with a byte (0, else
// the errno of its open), then waits on its input; should that end without a
// byte, as when the run dies, it writes 1 to the file.
const char *guard_body(const void *context) {
    const char *const path = static_cast<const char *>(context);
    // (nothing of the run's but its input and output: the run's end of its
    // input must close when the run dies)
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

// Starts the guard of the CPU, in a session of its own, which the run's
// process group and its signals do not reach; why not, where it cannot start
// or does not say within the bound that it holds the file.
unseen start_guard(int cpu) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return unseen_said("socketpair", errno,
                           "no guard to bring CPU %d back can be started: socketpair: %s", cpu,
                           strerror(errno));
    }
    static char path[64];
    online_path(cpu, path);
    const unseen started = start_child(guard(), start_how{.name = "the guard",
                                                          .session = true,
                                                          .execs = false,
                                                          .input = fds[1],
                                                          .body = guard_body,
                                                          .context = path});
    close(fds[1]);
    if (is_unseen(started)) {
        close(fds[0]);
        return unseen_said(started.subject, started.error, "no guard to bring CPU %d back: %s", cpu,
                           started.text);
    }
    guard().input = fds[0];
    int said = -1;
    const unseen waited = first_byte(guard(), BOUND_SECONDS * 1000, said);
    if (!is_unseen(waited) && said == 0) {
        return {};
    }
    end_child(guard());
    if (is_unseen(waited)) {
        return unseen_said(waited.subject, waited.error,
                           "the guard to bring CPU %d back cannot be watched: %s", cpu,
                           waited.text);
    }
    if (said > 0) {
        return unseen_said(path, said, "the guard to bring CPU %d back cannot open %s: %s", cpu,
                           path, strerror(said));
    }
    return unseen_said(path, ETIMEDOUT,
                       "the guard to bring CPU %d back did not say it holds %s within %d s", cpu,
                       path, BOUND_SECONDS);
}

// The parker's CPUs and state, once it has slept through the CPU going
// offline: the kernel widens the CPUs of a task whose only CPU went offline
// when it next wakes, within the second of its sleep.
void watch_parker(hotplug_run &h, verdict &lives) {
    char name[16]{};
    snprintf(name, sizeof name, "%d", h.cpu);
    const long parker = h.plan->parker;
    unseen seen = cpus_of(parker, h.cpus);
    const long long deadline = now_ms() + 3000;
    while (!is_unseen(seen) && strcmp(h.cpus, name) == 0 && now_ms() < deadline) {
        seen = nap(10);
        if (!is_unseen(seen)) {
            seen = cpus_of(parker, h.cpus);
        }
    }
    char comm[64]{};
    char state = '\0';
    if (!is_unseen(seen)) {
        seen = state_of(parker, comm, state);
    }
    const long long asleep = now_ms() + 1000;
    while (!is_unseen(seen) && state != 'S' && now_ms() < asleep) {
        seen = nap(10);
        if (!is_unseen(seen)) {
            seen = state_of(parker, comm, state);
        }
    }
    if (is_unseen(seen) && !task_gone(seen)) {
        verdict_unseen(lives, seen);
        return;
    }
    if (is_unseen(seen) || state == 'Z' || state == 'X') {
        lines_add(lives.got, "the parker is gone");
    } else if (strcmp(h.cpus, name) == 0) {
        lines_add(lives.got, "the parker stays on offline CPU %d alone", h.cpu);
    } else if (strcmp(comm, "(corenest)") == 0) {
        lines_add(lives.got, "the parker lives on, off CPU %d", h.cpu);
    } else {
        lines_add(lives.got, "the parker turned into %s", comm);
    }
    verdict_judge(lives);
}

// Runs corehop on the parker: the move, and its CPUs after it, as got says
// them; what could not be seen, where it could not.
unseen move_parker(hotplug_run &h, lines &got, const tool_result *&moved) {
    const tool_result &r = run_corehop(h.plan->corehop, h.cpu, h.plan->parker);
    moved = &r;
    if (is_unseen(r.hindrance)) {
        return r.hindrance;
    }
    const unseen read = cpus_of(h.plan->parker, h.cpus);
    if (is_unseen(read)) {
        return read;
    }
    said_by(got, r);
    lines_append(got, "; CPUs %s", h.cpus);
    return {};
}

// corehop refuses the move back while the CPU is offline, and the parker
// keeps its CPUs.
void move_refused(hotplug_run &h, verdict &refused) {
    unseen seen = cpus_of(h.plan->parker, h.before);
    const tool_result *r = nullptr;
    if (!is_unseen(seen)) {
        seen = move_parker(h, refused.got, r);
    }
    if (is_unseen(seen)) {
        verdict_unseen(refused, seen);
        return;
    }
    move_fail_line(h.line, static_cast<int32_t>(h.plan->parker), h.cpu);
    lines_add(refused.want, "status 255: %s; CPUs %s", h.line, h.before);
    verdict_judge(refused);
}

// The CPU online again, by the run itself, and the guard ended; then the
// move back passes.
void come_back(hotplug_run &h, verdict &back) {
    const brought_back brought = bring_back();
    move_pass_line(h.line, static_cast<int32_t>(h.plan->parker), h.cpu);
    lines_add(back.want, "status 0: %s; CPUs %d", h.line, h.cpu);
    if (!brought.online) {
        lines_add(back.got, "CPU %d stays offline: %s", h.cpu, brought.refused.text);
        verdict_judge(back);
        return;
    }
    const tool_result *r = nullptr;
    const unseen seen = move_parker(h, back.got, r);
    if (is_unseen(seen)) {
        verdict_unseen(back, seen);
        return;
    }
    verdict_judge(back);
}

// The parker moved to the CPU, and the kernel showing it there alone: the
// move as got says it, where it failed; what could not be seen, where it
// could not.
unseen onto_cpu(hotplug_run &h, verdict &lives, bool &moved) {
    const tool_result *r = nullptr;
    static lines got;
    lines_clear(got);
    const unseen seen = move_parker(h, got, r);
    if (is_unseen(seen)) {
        return seen;
    }
    move_pass_line(h.line, static_cast<int32_t>(h.plan->parker), h.cpu);
    char alone[16]{};
    snprintf(alone, sizeof alone, "%d", h.cpu);
    moved = r->status == 0 && output_of(*r) == h.line && strcmp(h.cpus, alone) == 0;
    if (!moved) {
        lines_add(lives.got, "the move to CPU %d: ", h.cpu);
        lines_append_bytes(lives.got, line_of(got, 0));
        for (int i = 1; i < got.count; ++i) {
            lines_add_bytes(lives.got, line_of(got, i));
        }
        verdict_judge(lives);
    }
    return {};
}

// Takes the CPU offline under the parker: skips where it cannot.
void take_offline(hotplug_run &h, std::span<verdict> v) {
    bool moved = false;
    unseen why = onto_cpu(h, v[0], moved);
    if (!is_unseen(why) && !moved) {
        for (verdict &after : v.subspan(1)) {
            verdict_skip(after, "CPU %d did not go offline: the parker's move to it failed", h.cpu);
        }
        return;
    }
    if (!is_unseen(why)) {
        why = start_guard(h.cpu);
    }
    if (!is_unseen(why)) {
        const unseen refused = set_online(h.cpu, false);
        if (is_unseen(refused)) {
            bring_back();
            why = unseen_said(refused.subject, refused.error,
                              "the kernel refuses to take CPU %d offline: %s", h.cpu,
                              strerror(refused.error));
        }
    }
    if (is_unseen(why)) {
        for (verdict &each : v) {
            verdict_unseen(each, why);
        }
        return;
    }
    note_offline(h.cpu);
    watch_parker(h, v[0]);
    move_refused(h, v[1]);
    come_back(h, v[2]);
}

} // namespace

// (a check's signature is the runner's, whatever its context)
// cppcheck-suppress constParameterPointer
void hotplug_checks(void *plan, int /*argument*/, std::span<verdict> verdicts) {
    static hotplug_run h;
    h = hotplug_run{};
    h.plan = static_cast<const hotplug_plan *>(plan);
    h.cpu = -1;
    h.top = -1;
    if (h.plan->why != nullptr) {
        h.why = unseen_said("", 0, "%s", h.plan->why);
    } else {
        choose(h);
    }
    char name[16] = "N";
    if (h.cpu >= 0 || h.top >= 0) {
        snprintf(name, sizeof name, "%d", h.cpu >= 0 ? h.cpu : h.top);
    }
    verdict_name(verdicts[0], "the parker lives on as CPU %s goes offline", name);
    verdict_name(verdicts[1], "corehop refuses to move the parker back to offline CPU %s", name);
    verdict_name(verdicts[2], "corehop moves the parker back to CPU %s once it is online", name);
    lines_add(verdicts[0].want, "the parker lives on, off CPU %s", name);
    if (is_unseen(h.why)) {
        for (verdict &v : verdicts) {
            verdict_unseen(v, h.why);
        }
        return;
    }
    take_offline(h, verdicts);
}
