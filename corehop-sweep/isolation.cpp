// SPDX-License-Identifier: MIT
// corehop-sweep -i: the audit of the machine's CPU isolation. The isolated
// CPUs are those the kernel reports isolated (isolcpus=), tickless
// (nohz_full=) or in isolated cgroup v2 partitions; the other online CPUs are
// the housekeeping ones. It checks that the kernel command line's isolation
// is in effect, that new interrupts and unbound workqueues stay off the
// isolated CPUs, and, CPU by CPU, that no task and no interrupt that may use
// a housekeeping CPU may run there too. It reads /proc and /sys alone: it
// writes nothing, needs no root and starts no tool, and what it cannot read
// makes the checks that needed it skip, naming the file and the error.
#include "isolation.h"
#include "cgroup.h"
#include "sweep.h"
#include "text_part.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The offenders named under a result, at most, and in the whole report.
constexpr int SCREEN = 20;
constexpr int NAMED_MAX = 256;
constexpr size_t NAME_LINE_MAX = 192;
// The kernel command line, at most (the largest any architecture takes).
constexpr size_t CMDLINE_MAX = size_t{64} * 1024;
// The cgroup v2 folders a walk for isolated partitions nests, at most.
constexpr int MAX_PARTITION_DEPTH = 64;

// What strays onto each isolated CPU: how many, and the first of them, each
// named once in a line of its own.
struct offenders {
    char named[NAMED_MAX][NAME_LINE_MAX];
    int names;
    int count[CPU_LIST_CPUS];
    uint16_t first[CPU_LIST_CPUS][SCREEN];
};

// One audit: the CPUs, the kernel command line, what strays, and why what
// cannot be seen is not.
struct audit {
    cpu_list online;
    cpu_list domain;     // /sys/devices/system/cpu/isolated
    cpu_list nohz;       // /sys/devices/system/cpu/nohz_full
    bool nohz_shown;     // the kernel has that file
    cpu_list partitions; // of isolated cgroup v2 partitions
    bool listed;         // as the root's cpuset.cpus.isolated lists them
    cpu_list isolated;
    cpu_list housekeeping;
    char cmdline[CMDLINE_MAX];
    text cmdline_unread; // why /proc/cmdline cannot be read
    text unknown;        // why the isolated CPUs are not all known
    text tasks_unseen;   // why not every task can be seen
    text irqs_unseen;
    offenders tasks;
    offenders irqs;
    unread failed;
    char list[CPU_LIST_TEXT_MAX];
    char list2[CPU_LIST_TEXT_MAX];
    text what;
    text got;
    text want;
    text line;
};

// The list or, where the file says none ("" or "(null)"), the empty list,
// from a file of /sys; 0, or the errno of the read (EINVAL: no list).
int read_list(const char *path, std::span<char> buf, cpu_list &cpus) {
    cpus = cpu_list{};
    const int error = read_line(path, buf);
    if (error != 0) {
        return error;
    }
    const std::string_view said(buf.data());
    return said.empty() || said == "(null)" || cpu_list_parse(said, cpus) ? 0 : EINVAL;
}

int read_mask(const char *path, std::span<char> buf, cpu_list &cpus) {
    const int error = read_line(path, buf);
    if (error != 0) {
        return error;
    }
    return cpu_mask_text_parse(buf.data(), cpus) ? 0 : EINVAL;
}

void say_unread(text &why, const char *path, int error) {
    if (error == EINVAL) {
        text_set(why, "%s holds no list of CPUs", path);
    } else {
        text_set(why, "%s cannot be read: %s", path, strerror(error));
    }
}

// The name of the cgroup v2 mount of the whole hierarchy.
struct v2_mount {
    char point[PATH_TEXT_MAX];
};

bool find_v2(void *context, std::string_view line) {
    mount_line mount;
    char root[PATH_TEXT_MAX]{};
    if (mount_line_parse(line, mount) && mount.type == "cgroup2" &&
        mount_field_decode(mount.root, root) < sizeof root && std::string_view(root) == "/") {
        mount_field_decode(mount.point, static_cast<v2_mount *>(context)->point);
        return false;
    }
    return true;
}

// The walk of the cgroup v2 hierarchy for isolated partitions, where its
// root does not list them: the CPUs of each.
struct partition_walk {
    audit *a;
    char path[PATH_TEXT_MAX];
    int depth;
    unread failed;
};

// A partition of the folder in walk.path: where it is isolated, its CPUs.
// False where the folder holds no cpuset, or is gone.
bool read_partition(partition_walk &walk) {
    char file[PATH_TEXT_MAX + 32]{};
    char said[256]{};
    snprintf(file, sizeof file, "%s/cpuset.cpus.partition", walk.path);
    int error = read_line(file, said);
    if (error != 0) {
        if (error != ENOENT && error != ENODEV) {
            note_unread(walk.failed, file, error);
        }
        return false;
    }
    // ("isolated invalid (REASON)" isolates nothing)
    if (std::string_view(said) != "isolated") {
        return true;
    }
    snprintf(file, sizeof file, "%s/cpuset.cpus.effective", walk.path);
    cpu_list cpus{};
    error = read_list(file, walk.a->list2, cpus);
    if (error != 0) {
        if (error != ENOENT) {
            note_unread(walk.failed, file, error);
        }
        return false;
    }
    for (int cpu = cpu_list_next(cpus, -1); cpu >= 0; cpu = cpu_list_next(cpus, cpu)) {
        cpu_list_add(walk.a->partitions, cpu, cpu);
    }
    return true;
}

bool walk_partition(void *context, const char *name, unsigned char type) {
    auto &walk = *static_cast<partition_walk *>(context);
    if (type != DT_DIR && type != DT_UNKNOWN) {
        return true;
    }
    size_t length = 0;
    if (!folder_down(walk.path, name, length, walk.depth, MAX_PARTITION_DEPTH)) {
        return note_unread(walk.failed, walk.path, ENAMETOOLONG);
    }
    // (a folder without a cpuset holds none below it either)
    if (read_partition(walk)) {
        const int fd = open(walk.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 && errno != ENOENT && errno != ENOTDIR) {
            note_unread(walk.failed, walk.path, errno);
        }
        if (fd >= 0) {
            ++walk.depth;
            const int error = each_entry(fd, walk_partition, &walk);
            --walk.depth;
            close(fd);
            if (error != 0 && walk.failed.error == 0) {
                note_unread(walk.failed, walk.path, error);
            }
        }
    }
    std::span(walk.path)[length] = '\0';
    return walk.failed.error == 0;
}

// Where the cpuset controller is cgroup v2's, the CPUs of its isolated
// partitions: its root lists them, else a walk finds them. Else the reason.
bool find_partitions(audit &a) {
    static char cgroups[size_t{64} * 1024];
    if (read_file("/proc/self/cgroup", cgroups) < 0) {
        say_unread(a.unknown, "/proc/self/cgroup", errno);
        return false;
    }
    const own_cgroups own = own_cgroups_parse(cgroups);
    // (the controller bound to cgroup v1 makes no partition of v2)
    if (own.has_v1 || !own.has_v2) {
        return true;
    }
    const int first = first_namespace("cgroup", a.unknown);
    if (first < 0) {
        return false;
    }
    if (first == 0) {
        text_set(a.unknown,
                 "in a cgroup namespace, where not every cgroup v2 partition can be seen");
        return false;
    }
    static v2_mount v2;
    static char mounts[size_t{64} * 1024];
    v2 = v2_mount{};
    const int error = each_line("/proc/self/mountinfo", mounts, find_v2, &v2);
    if (error != 0 || v2.point[0] == '\0') {
        text_set(a.unknown,
                 error != 0 ? "/proc/self/mountinfo cannot be read: %s"
                            : "no cgroup v2 hierarchy is mounted whole here%s",
                 error != 0 ? strerror(error) : ": its isolated partitions cannot be read");
        return false;
    }
    static partition_walk walk;
    walk = partition_walk{.a = &a, .path = {}, .depth = 0, .failed = {}};
    static char file[PATH_TEXT_MAX + 32];
    snprintf(file, sizeof file, "%s/cpuset.cpus.isolated", v2.point);
    const int listed = read_list(file, a.list2, a.partitions);
    a.listed = listed == 0;
    if (listed != ENOENT) {
        if (listed != 0) {
            say_unread(a.unknown, file, listed);
        }
        return listed == 0;
    }
    snprintf(walk.path, sizeof walk.path, "%s", v2.point);
    const int fd = open(walk.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int walked = fd < 0 ? errno : each_entry(fd, walk_partition, &walk);
    if (fd >= 0) {
        close(fd);
    }
    if (walked != 0 || walk.failed.error != 0) {
        say_unread(a.unknown, walk.failed.error != 0 ? walk.failed.file : v2.point,
                   walk.failed.error != 0 ? walk.failed.error : walked);
        return false;
    }
    return true;
}

// The CPUs the machine sets apart, and the others; false, with the reason,
// where the report cannot start.
bool find_isolated(audit &a, text &why) {
    const char *const files[] = {"/sys/devices/system/cpu/online",
                                 "/sys/devices/system/cpu/isolated"};
    cpu_list *const lists[] = {&a.online, &a.domain};
    for (int i = 0; i < 2; ++i) {
        const int error = read_list(std::span(files)[i], a.list, *std::span(lists)[i]);
        if (error != 0) {
            say_unread(why, std::span(files)[i], error);
            return false;
        }
    }
    const int nohz = read_list("/sys/devices/system/cpu/nohz_full", a.list, a.nohz);
    a.nohz_shown = nohz != ENOENT;
    if (nohz != 0 && nohz != ENOENT) {
        say_unread(why, "/sys/devices/system/cpu/nohz_full", nohz);
        return false;
    }
    find_partitions(a);
    a.isolated = a.domain;
    for (const cpu_list *more : {&a.nohz, &a.partitions}) {
        for (int cpu = cpu_list_next(*more, -1); cpu >= 0; cpu = cpu_list_next(*more, cpu)) {
            cpu_list_add(a.isolated, cpu, cpu);
        }
    }
    a.housekeeping = cpu_list_but(a.online, a.isolated);
    return true;
}

// Notes that the offender named by line strays onto each of cpus; index is
// its place among the named, -1 until it has one.
void note(offenders &o, const cpu_list &cpus, int &index, const char *line) {
    for (int cpu = cpu_list_next(cpus, -1); cpu >= 0; cpu = cpu_list_next(cpus, cpu)) {
        const int n = std::span(o.count)[static_cast<size_t>(cpu)]++;
        if (n >= SCREEN) {
            continue;
        }
        if (index < 0 && o.names < NAMED_MAX) {
            index = o.names++;
            snprintf(std::span(o.named)[static_cast<size_t>(index)], NAME_LINE_MAX, "%s", line);
        }
        std::span(std::span(o.first)[static_cast<size_t>(cpu)])[static_cast<size_t>(n)] =
            static_cast<uint16_t>(index < 0 ? NAMED_MAX : index);
    }
}

bool note_thread(void *context, const thread_seen &thread) {
    auto &a = *static_cast<audit *>(context);
    if (thread.state == 'Z' || thread.state == 'X') {
        return true;
    }
    cpu_list allowed{};
    if (!cpu_list_parse(thread.cpus, allowed)) {
        text_set(a.tasks_unseen, "the status of task %ld holds no list of CPUs", thread.tid);
        return false;
    }
    const cpu_list strays = task_strays(allowed, a.isolated, a.housekeeping);
    if (cpu_list_count(strays) > 0) {
        char line[NAME_LINE_MAX]{};
        snprintf(line, sizeof line, "task %ld %.*s may use %.*s", thread.tid,
                 static_cast<int>(thread.comm.size()), thread.comm.data(),
                 static_cast<int>(thread.cpus.size()), thread.cpus.data());
        int index = -1;
        note(a.tasks, strays, index, line);
    }
    return true;
}

// An interrupt that handles something; where the kernel shows no effective
// affinity, its affinity stands for it.
bool note_irq(void *context, const char *number, std::string_view affinity) {
    auto &a = *static_cast<audit *>(context);
    char action[64]{};
    const int handled = irq_handled(number, action, a.failed);
    if (handled <= 0) {
        return handled == 0;
    }
    cpu_list allowed{};
    cpu_list effective{};
    const int shown = irq_file(number, "effective_affinity_list", a.list2, a.failed);
    if (shown < 0 || !cpu_list_parse(affinity, allowed) ||
        !cpu_list_parse(shown > 0 ? std::string_view(a.list2) : affinity, effective)) {
        if (a.failed.error == 0) {
            text_set(a.irqs_unseen, "/proc/irq/%s holds no list of CPUs", number);
        }
        return false;
    }
    const cpu_list strays = irq_strays(allowed, effective, a.isolated, a.housekeeping);
    if (cpu_list_count(strays) > 0) {
        char line[NAME_LINE_MAX]{};
        cpu_list_format(effective, a.list2);
        snprintf(line, sizeof line, "IRQ %s (%s) on CPUs %.40s, may use %.*s", number, action,
                 a.list2, static_cast<int>(affinity.size()), affinity.data());
        int index = -1;
        note(a.irqs, strays, index, line);
    }
    return true;
}

// /proc mounted to hide the tasks of others (hidepid=2, or invisible) from
// all but root.
struct proc_mount {
    bool hides;
};

bool find_proc(void *context, std::string_view line) {
    mount_line mount;
    if (mount_line_parse(line, mount) && mount.point == "/proc" && mount.type == "proc") {
        static_cast<proc_mount *>(context)->hides =
            has_option(mount.super, "hidepid=2") || has_option(mount.super, "hidepid=invisible");
    }
    return true;
}

// Whether /proc shows every task; else why not, in a.tasks_unseen.
bool sees_every_task(audit &a) {
    static char mounts[size_t{64} * 1024];
    proc_mount proc{.hides = false};
    const int error = each_line("/proc/self/mountinfo", mounts, find_proc, &proc);
    if (error != 0) {
        say_unread(a.tasks_unseen, "/proc/self/mountinfo", error);
        return false;
    }
    if (proc.hides && geteuid() != 0) {
        text_set(a.tasks_unseen, "/proc is mounted with hidepid: the tasks of other users cannot "
                                 "be seen");
        return false;
    }
    const int first = first_namespace("pid", a.tasks_unseen);
    if (first == 0) {
        text_set(a.tasks_unseen, "in a PID namespace other than the first, whose /proc hides "
                                 "the tasks outside it");
    }
    return first > 0;
}

// Every thread, and every interrupt, onto what each strays; what cannot be
// seen said in tasks_unseen and irqs_unseen.
void scan(audit &a) {
    if (sees_every_task(a) && !each_thread(true, getpid(), note_thread, &a, a.failed) &&
        a.tasks_unseen.length == 0) {
        say_unread(a.tasks_unseen, a.failed.file, a.failed.error);
    }
    // (a /proc mounted with subset=pid shows no interrupt)
    struct stat irqs = {};
    if (stat("/proc/irq", &irqs) != 0) {
        say_unread(a.irqs_unseen, "/proc/irq", errno);
    } else if (!each_irq(note_irq, &a, a.failed) && a.irqs_unseen.length == 0) {
        say_unread(a.irqs_unseen, a.failed.file, a.failed.error);
    }
}

// The first offenders of cpu, and how many there are, as a result's got.
void describe(const offenders &o, int cpu, const char *kind, text &got) {
    const int count = std::span(o.count)[static_cast<size_t>(cpu)];
    if (count == 0) {
        text_set(got, "none");
        return;
    }
    text_set(got, "%d %s%s may run on CPU %d and on a housekeeping CPU", count, kind,
             count > 1 ? "s" : "", cpu);
    const int shown = std::min(count, SCREEN);
    for (int n = 0; n < shown; ++n) {
        const uint16_t index =
            std::span(std::span(o.first)[static_cast<size_t>(cpu)])[static_cast<size_t>(n)];
        if (index < NAMED_MAX) {
            text_add(got, "\n%s", std::span(o.named)[index]);
        }
    }
    if (count > shown) {
        text_add(got, "\nand %d more", count - shown);
    }
}

// What a list of the command line asks of a list the kernel shows: every CPU
// of it there, in got, where want says so.
void compare(audit &a, const cpu_list &asked, const cpu_list &shown, const char *as) {
    cpu_list_format(asked, a.list);
    text_add(a.want, "%sCPUs %s %s", a.want.length > 0 ? "; " : "", a.list, as);
    const cpu_list missing = cpu_list_but(asked, shown);
    if (cpu_list_count(missing) == 0) {
        text_add(a.got, "%sCPUs %s %s", a.got.length > 0 ? "; " : "", a.list, as);
        return;
    }
    cpu_list_format(missing, a.list);
    cpu_list_format(shown, a.list2);
    text_add(a.got, "%sCPUs %s not %s: the kernel shows %s", a.got.length > 0 ? "; " : "", a.list,
             as, a.list2[0] != '\0' ? a.list2 : "none");
}

// The value of a parameter of the command line, or a skip that says why
// there is none.
bool asked(sweep &s, audit &a, const char *name, std::string_view &value) {
    text_set(a.what, "%s= is in effect", name);
    text_set(a.want, "%s", "");
    text_set(a.got, "%s", "");
    if (a.cmdline_unread.length > 0) {
        skip(s, a.what.s, a.cmdline_unread.s);
        return false;
    }
    if (!kernel_param(a.cmdline, name, value)) {
        skip(s, a.what.s, "not on the kernel command line");
        return false;
    }
    return true;
}

// The command line's isolation in effect: isolcpus= (its domain CPUs
// isolated, its nohz ones tickless), nohz_full= and irqaffinity=.
void command_line(sweep &s, audit &a) {
    std::string_view value;
    isolcpus_value isolcpus;
    if (asked(s, a, "isolcpus", value)) {
        if (!isolcpus_parse(value, isolcpus)) {
            text_set(a.want, "CPUs isolated");
            text_set(a.got, "none: the kernel ignores a flag or list it cannot read: '%.*s'",
                     static_cast<int>(value.size()), value.data());
        } else if (!isolcpus.domain && !isolcpus.nohz) {
            skip(s, a.what.s, "managed_irq alone, which the kernel shows nowhere");
        }
        if (isolcpus.domain) {
            compare(a, isolcpus.cpus, a.domain, "isolated");
        }
        if (isolcpus.nohz) {
            compare(a, isolcpus.cpus, a.nohz, "tickless");
        }
        if (a.want.length > 0) {
            result(s, a.what.s, a.got.s, a.want.s);
        }
    }
    cpu_list list{};
    if (asked(s, a, "nohz_full", value)) {
        if (!cpu_list_parse(value, list)) {
            text_set(a.want, "CPUs tickless");
            text_set(a.got, "none: the kernel cannot read its list: '%.*s'",
                     static_cast<int>(value.size()), value.data());
        } else if (!a.nohz_shown) {
            compare(a, list, {}, "tickless");
            text_set(a.got, "none: the kernel shows no nohz_full, and so has none");
        } else {
            compare(a, list, a.nohz, "tickless");
        }
        result(s, a.what.s, a.got.s, a.want.s);
    }
    if (asked(s, a, "irqaffinity", value)) {
        cpu_list now{};
        const char *const file = "/proc/irq/default_smp_affinity";
        const int error = read_mask(file, a.list2, now);
        if (error != 0) {
            say_unread(a.line, file, error);
            hinder(s, "%s", a.line.s);
        }
        if (!cpu_list_parse(value, list)) {
            list = cpu_list{};
        }
        cpu_list_format(list, a.list);
        text_set(a.want, "the default affinity %s", a.list);
        cpu_list_format(now, a.list);
        text_set(a.got, "the default affinity %s", a.list);
        result(s, a.what.s, a.got.s, a.want.s);
    }
}

// No isolated CPU in a mask of the kernel's: that of new interrupts, that of
// unbound workqueues (where the kernel has one).
void mask_check(sweep &s, audit &a, const char *what, const char *file, const char *kind) {
    if (a.unknown.length > 0) {
        skip(s, what, a.unknown.s);
        return;
    }
    cpu_list mask{};
    const int error = read_mask(file, a.list2, mask);
    if (error == ENOENT) {
        text_set(a.line, "the kernel has no %s (%s)", kind, file);
        skip(s, what, a.line.s);
        return;
    }
    if (error != 0) {
        say_unread(a.line, file, error);
        hinder(s, "%s", a.line.s);
    }
    text_set(a.want, "no isolated CPU in the %s", kind);
    const cpu_list both = cpu_list_both(mask, a.isolated);
    if (cpu_list_count(both) == 0) {
        a.got = a.want;
    } else {
        cpu_list_format(both, a.list);
        cpu_list_format(mask, a.list2);
        text_set(a.got, "isolated CPUs %s in the %s %s", a.list, kind, a.list2);
    }
    result(s, what, a.got.s, a.want.s);
}

// CPU by CPU: no task, and no interrupt, strays there.
void per_cpu(sweep &s, audit &a, const cpu_list &cpus) {
    for (int cpu = cpu_list_next(cpus, -1); cpu >= 0; cpu = cpu_list_next(cpus, cpu)) {
        const struct {
            const char *what;
            const offenders *o;
            const text *unseen;
            const char *kind;
        } checks[] = {{.what = "no task strays onto isolated CPU %d",
                       .o = &a.tasks,
                       .unseen = &a.tasks_unseen,
                       .kind = "task"},
                      {.what = "no interrupt strays onto isolated CPU %d",
                       .o = &a.irqs,
                       .unseen = &a.irqs_unseen,
                       .kind = "interrupt"}};
        for (const auto &check : checks) {
            text_set(a.what, check.what, cpu);
            if (a.unknown.length > 0 || check.unseen->length > 0) {
                skip(s, a.what.s, a.unknown.length > 0 ? a.unknown.s : check.unseen->s);
                continue;
            }
            describe(*check.o, cpu, check.kind, a.got);
            result(s, a.what.s, a.got.s, "none");
        }
    }
}

// The CPUs, whence each isolated one, and the isolation parameters of the
// command line.
void header(sweep &s, audit &a, int plan) {
    out(s, "KTAP version 1\n");
    out(s, "1..%d\n", plan);
    const struct {
        const char *name;
        const cpu_list *cpus;
    } sets[] = {
        {.name = "isolated", .cpus = &a.domain},
        {.name = "nohz_full", .cpus = &a.nohz},
        {.name = a.listed ? "cpuset.cpus.isolated" : "isolated partitions", .cpus = &a.partitions}};
    text_set(a.line, "%s", "");
    for (const auto &set : sets) {
        cpu_list_format(*set.cpus, a.list);
        text_add(a.line, "%s%s %s", a.line.length > 0 ? ", " : "", set.name,
                 a.list[0] != '\0' ? a.list : "none");
    }
    cpu_list_format(a.isolated, a.list);
    cpu_list_format(a.housekeeping, a.list2);
    out(s, "# isolated CPUs %s, as the kernel shows them: %s\n",
        a.list[0] != '\0' ? a.list : "none", a.line.s);
    out(s, "# housekeeping CPUs %s, the other online ones\n",
        a.list2[0] != '\0' ? a.list2 : "none");
    if (a.unknown.length > 0) {
        out(s, "# the isolated CPUs cannot all be known: %s\n", a.unknown.s);
    }
    text_set(a.line, "%s", "");
    for (const char *name : {"isolcpus", "nohz_full", "irqaffinity"}) {
        std::string_view value;
        if (a.cmdline_unread.length == 0 && kernel_param(a.cmdline, name, value)) {
            text_add(a.line, " %s=%.*s", name, static_cast<int>(value.size()), value.data());
        }
    }
    out(s, "# the kernel command line:%s\n", a.line.length > 0 ? a.line.s : " no isolation");
}

} // namespace

void audit_isolation(sweep &s) {
    static audit a;
    static text why;
    if (!find_isolated(a, why)) {
        skip_all(s, why.s);
    }
    if (read_file("/proc/cmdline", a.cmdline) < 0) {
        say_unread(a.cmdline_unread, "/proc/cmdline", errno);
    }
    bool any_asked = false;
    for (const char *name : {"isolcpus", "nohz_full", "irqaffinity"}) {
        std::string_view value;
        any_asked = any_asked || kernel_param(a.cmdline, name, value);
    }
    const cpu_list checked = cpu_list_both(a.isolated, a.online);
    if (cpu_list_count(a.isolated) == 0 && !any_asked && a.cmdline_unread.length == 0) {
        text_set(why, "no CPU is isolated here%s%s, and the kernel command line asks for none",
                 a.unknown.length > 0 ? " as far as can be seen: " : "", a.unknown.s);
        skip_all(s, why.s);
    }
    if (cpu_list_count(checked) > 0) {
        scan(a);
    }
    header(s, a, 5 + (2 * cpu_list_count(checked)));
    command_line(s, a);
    if (cpu_list_count(a.isolated) == 0) {
        skip(s, "new interrupts stay off the isolated CPUs", "no CPU is isolated");
        skip(s, "unbound workqueues stay off the isolated CPUs", "no CPU is isolated");
    } else {
        mask_check(s, a, "new interrupts stay off the isolated CPUs",
                   "/proc/irq/default_smp_affinity", "default affinity of new interrupts");
        mask_check(s, a, "unbound workqueues stay off the isolated CPUs",
                   "/sys/devices/virtual/workqueue/cpumask", "mask of unbound workqueues");
    }
    per_cpu(s, a, checked);
    if (s.failed > 0) {
        end_sweep(s, 1);
    }
    end_sweep(s, s.passed == 0 ? 4 : 0);
}
