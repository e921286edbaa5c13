// SPDX-License-Identifier: MIT
#include "audit.h"
#include "cgroup.h"
#include "isolation.h"
#include "machine.h"
#include "report.h"
#include "scan.h"
#include "text_part.h"
#include "window.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/utsname.h>

namespace {

// The offenders named under a result, at most, and in the whole report.
constexpr int SCREEN = 20;
constexpr int NAMED_MAX = 256;
constexpr size_t NAME_LINE_MAX = 192;
// The kernel command line, at most (the largest any architecture takes).
constexpr size_t CMDLINE_MAX = size_t{64} * 1024;
// The cgroup v2 folders a walk for isolated partitions nests, at most, and
// the invalid ones named.
constexpr int MAX_PARTITION_DEPTH = 64;
constexpr int INVALID_NAMED = 8;
constexpr size_t INVALID_LINE_MAX = 512;
// The isolation parameters of the command line.
constexpr const char *PARAMETERS[] = {"isolcpus", "nohz_full", "irqaffinity"};

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
// (Kept in static storage alone, zero before its constructor runs, which
// sets the values of what could not be seen and writes nothing else: no
// page of it is touched before it is used.)
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
struct audit_run {
    cpu_list possible;
    cpu_list online;
    cpu_list domain;     // /sys/devices/system/cpu/isolated
    cpu_list nohz;       // /sys/devices/system/cpu/nohz_full
    bool nohz_shown;     // the kernel has that file
    cpu_list partitions; // of isolated cgroup v2 partitions
    bool listed;         // as the root's cpuset.cpus.isolated lists them
    cpu_list isolated;
    cpu_list housekeeping; // every possible CPU that is not isolated
    cpu_list checked;      // the online isolated CPUs
    char cmdline[CMDLINE_MAX];
    unseen cmdline_unread; // why /proc/cmdline cannot be read
    unseen unknown;        // why the isolated CPUs are not all known
    unseen tasks_unseen;   // why not every task can be seen
    unseen irqs_unseen;
    offenders tasks;
    offenders irqs;
    bool v2_cpuset; // the cpuset controller is cgroup v2's
    int invalid;    // isolated partitions the kernel holds invalid
    char invalid_named[INVALID_NAMED][INVALID_LINE_MAX];
    window_plan window;
    char list[CPU_LIST_TEXT_MAX];
    char list2[CPU_LIST_TEXT_MAX];
};

// The list or, where the file says none ("" or "(null)"), the empty list,
// from a file of /sys.
unseen read_list(const char *path, std::span<char> buf, cpu_list &cpus) {
    cpus = cpu_list{};
    unseen read = read_line(path, buf);
    if (is_unseen(read)) {
        return read;
    }
    const std::string_view said(buf.data());
    if (said.empty() || said == "(null)" || cpu_list_parse(said, cpus)) {
        return {};
    }
    return unseen_said(path, EINVAL, "%s holds no list of CPUs", path);
}

unseen read_mask(const char *path, std::span<char> buf, cpu_list &cpus) {
    unseen read = read_line(path, buf);
    if (!is_unseen(read) && !cpu_mask_text_parse(buf.data(), cpus)) {
        return unseen_said(path, EINVAL, "%s holds no list of CPUs", path);
    }
    return read;
}

// The point of the cgroup v2 mount of the whole hierarchy.
bool find_v2(void *context, std::string_view line) {
    mount_line mount;
    char root[PATH_TEXT_MAX]{};
    if (mount_line_parse(line, mount) && mount.type == "cgroup2" &&
        mount_field_decode(mount.root, root) < sizeof root && std::string_view(root) == "/") {
        mount_field_decode(mount.point, std::span(static_cast<char *>(context), PATH_TEXT_MAX));
        return false;
    }
    return true;
}

// A folder of the cgroup v2 hierarchy: where its partition is isolated, its
// CPUs. A folder without a cpuset holds none below it either.
walk_step walk_partition(void *context, std::span<char> path, int /*depth*/, unsigned char type,
                         unseen &failed) {
    auto &a = *static_cast<audit_run *>(context);
    if (type != DT_DIR && type != DT_UNKNOWN) {
        return walk_step::pass;
    }
    char file[PATH_TEXT_MAX + 32]{};
    char said[256]{};
    snprintf(file, sizeof file, "%s/cpuset.cpus.partition", path.data());
    unseen read = read_line(file, said);
    if (is_unseen(read)) {
        failed = read.error == ENOENT || read.error == ENODEV ? unseen{} : read;
        return walk_step::pass;
    }
    // ("isolated invalid (REASON)" isolates nothing: the kernel says why)
    if (std::string_view(said).starts_with("isolated invalid")) {
        if (a.invalid < INVALID_NAMED) {
            snprintf(std::span(a.invalid_named)[static_cast<size_t>(a.invalid)], INVALID_LINE_MAX,
                     "%s: %s", path.data(), said);
        }
        ++a.invalid;
    }
    if (std::string_view(said) != "isolated" || a.listed) {
        return walk_step::descend;
    }
    snprintf(file, sizeof file, "%s/cpuset.cpus.effective", path.data());
    cpu_list cpus{};
    read = read_list(file, a.list2, cpus);
    if (is_unseen(read)) {
        failed = read.error == ENOENT ? unseen{} : read;
        return walk_step::pass;
    }
    for (int cpu = cpu_list_next(cpus, -1); cpu >= 0; cpu = cpu_list_next(cpus, cpu)) {
        cpu_list_add(a.partitions, cpu, cpu);
    }
    return walk_step::descend;
}

// Where the cpuset controller is cgroup v2's, the CPUs of its isolated
// partitions (its root lists them, else a walk finds them) and those the
// kernel holds invalid, which only a walk finds. Else why not.
unseen find_partitions(audit_run &a) {
    static char cgroups[size_t{64} * 1024];
    unseen u = read_file("/proc/self/cgroup", cgroups);
    if (is_unseen(u)) {
        return u;
    }
    const own_cgroups own = own_cgroups_parse(cgroups);
    // (the controller bound to cgroup v1 makes no partition of v2)
    if (own.has_v1 || !own.has_v2) {
        return {};
    }
    a.v2_cpuset = true;
    bool first = false;
    u = first_namespace("cgroup", first);
    if (is_unseen(u) || !first) {
        return is_unseen(u) ? u
                            : unseen_said("cgroup", 0,
                                          "in a cgroup namespace, where not every cgroup v2 "
                                          "partition can be seen");
    }
    static char point[PATH_TEXT_MAX];
    static char mounts[size_t{64} * 1024];
    point[0] = '\0';
    u = each_line("/proc/self/mountinfo", mounts, find_v2, point);
    if (is_unseen(u) || point[0] == '\0') {
        return is_unseen(u) ? u
                            : unseen_said("cgroup2", 0,
                                          "no cgroup v2 hierarchy is mounted whole here: its "
                                          "isolated partitions cannot be read");
    }
    static char file[PATH_TEXT_MAX + 32];
    snprintf(file, sizeof file, "%s/cpuset.cpus.isolated", point);
    u = read_list(file, a.list2, a.partitions);
    a.listed = !is_unseen(u);
    if (is_unseen(u) && u.error != ENOENT) {
        return u;
    }
    return walk_folder(point, MAX_PARTITION_DEPTH, walk_partition, &a);
}

// The CPUs the machine sets apart, and the others; why the report cannot
// start, where it cannot.
unseen find_isolated(audit_run &a) {
    const char *const files[] = {"/sys/devices/system/cpu/possible",
                                 "/sys/devices/system/cpu/online",
                                 "/sys/devices/system/cpu/isolated"};
    cpu_list *const lists[] = {&a.possible, &a.online, &a.domain};
    for (size_t i = 0; i < std::size(files); ++i) {
        const unseen read = read_list(std::span(files)[i], a.list, *std::span(lists)[i]);
        if (is_unseen(read)) {
            return read;
        }
    }
    const unseen nohz = read_list("/sys/devices/system/cpu/nohz_full", a.list, a.nohz);
    a.nohz_shown = nohz.error != ENOENT;
    if (is_unseen(nohz) && a.nohz_shown) {
        return nohz;
    }
    a.unknown = find_partitions(a);
    a.isolated = a.domain;
    for (const cpu_list *more : {&a.nohz, &a.partitions}) {
        for (int cpu = cpu_list_next(*more, -1); cpu >= 0; cpu = cpu_list_next(*more, cpu)) {
            cpu_list_add(a.isolated, cpu, cpu);
        }
    }
    a.housekeeping = cpu_list_but(a.possible, a.isolated);
    a.checked = cpu_list_both(a.isolated, a.online);
    return {};
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
    auto &a = *static_cast<audit_run *>(context);
    if (thread.state == 'Z' || thread.state == 'X') {
        return true;
    }
    cpu_list allowed{};
    if (!cpu_list_parse(thread.cpus, allowed)) {
        a.tasks_unseen = unseen_said("status", EINVAL,
                                     "the status of task %ld holds no list of CPUs", thread.tid);
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
// affinity, its affinity stands for it, and where it shows an empty one,
// the interrupt is per-CPU (arm64's timer and PMU): no affinity moves it,
// and it strays nowhere.
bool note_irq(void *context, const char *number, std::string_view affinity) {
    auto &a = *static_cast<audit_run *>(context);
    char action[64]{};
    a.irqs_unseen = irq_action(number, action);
    if (is_unseen(a.irqs_unseen) || action[0] == '\0') {
        return !is_unseen(a.irqs_unseen);
    }
    bool shown = false;
    a.irqs_unseen = irq_file(number, "effective_affinity_list", a.list2, shown);
    if (is_unseen(a.irqs_unseen)) {
        return false;
    }
    if (shown && a.list2[0] == '\0') {
        return true;
    }
    cpu_list allowed{};
    cpu_list effective{};
    if (!cpu_list_parse(affinity, allowed) ||
        !cpu_list_parse(shown ? std::string_view(a.list2) : affinity, effective)) {
        a.irqs_unseen = unseen_said(number, EINVAL, "/proc/irq/%s holds no list of CPUs", number);
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

// Every thread, and every interrupt, onto what each strays; what cannot be
// seen said in tasks_unseen and irqs_unseen.
void scan(audit_run &a) {
    long self = -1;
    a.tasks_unseen = every_task_seen("the tasks outside it");
    if (!is_unseen(a.tasks_unseen)) {
        a.tasks_unseen = proc_self(self);
    }
    if (!is_unseen(a.tasks_unseen)) {
        const unseen walked = each_thread(true, self, note_thread, &a);
        if (is_unseen(walked)) {
            a.tasks_unseen = walked;
        }
    }
    const unseen walked = each_irq(note_irq, &a);
    if (is_unseen(walked)) {
        a.irqs_unseen = walked;
    }
}

// The first offenders of cpu, and how many there are, as got.
void describe(const offenders &o, int cpu, const char *kind, lines &got) {
    const int count = std::span(o.count)[static_cast<size_t>(cpu)];
    if (count == 0) {
        lines_add(got, "none");
        return;
    }
    lines_add(got, "%d %s%s may run on CPU %d and on a housekeeping CPU", count, kind,
              count > 1 ? "s" : "", cpu);
    int named = 0;
    for (int n = 0; n < std::min(count, SCREEN); ++n) {
        const uint16_t index =
            std::span(std::span(o.first)[static_cast<size_t>(cpu)])[static_cast<size_t>(n)];
        if (index < NAMED_MAX) {
            lines_add(got, "%s", std::span(o.named)[index]);
            ++named;
        }
    }
    if (count > named) {
        lines_add(got, "and %d more", count - named);
    }
}

// What a list of the command line asks of a list the kernel shows: every CPU
// of it there, in got, where want says so.
void compare(audit_run &a, verdict &v, const cpu_list &asked, const cpu_list &shown,
             const char *as) {
    if (v.want.count == 0) {
        lines_add(v.want, "%s", "");
        lines_add(v.got, "%s", "");
    }
    cpu_list_format(asked, a.list);
    lines_append(v.want, "%sCPUs %s %s", v.want.bytes.length > 0 ? "; " : "", a.list, as);
    const char *const separator = v.got.bytes.length > 0 ? "; " : "";
    const cpu_list missing = cpu_list_but(asked, shown);
    if (cpu_list_count(missing) == 0) {
        lines_append(v.got, "%sCPUs %s %s", separator, a.list, as);
        return;
    }
    cpu_list_format(missing, a.list);
    cpu_list_format(shown, a.list2);
    lines_append(v.got, "%sCPUs %s not %s: the kernel shows %s", separator, a.list, as,
                 a.list2[0] != '\0' ? a.list2 : "none");
}

// The value of a parameter of the command line, or a skip that says why
// there is none.
bool asked(const audit_run &a, verdict &v, const char *name, std::string_view &value) {
    verdict_name(v, "%s= is in effect", name);
    if (is_unseen(a.cmdline_unread)) {
        verdict_unseen(v, a.cmdline_unread);
        return false;
    }
    if (!kernel_param(a.cmdline, name, value)) {
        verdict_skip(v, "not on the kernel command line");
        return false;
    }
    return true;
}

// A parameter's value the kernel cannot read: what was wanted, and got
// said with the value in quotes.
void unreadable(verdict &v, const char *want, const char *got, std::string_view value) {
    lines_add(v.want, "%s", want);
    lines_add(v.got, "%s: '", got);
    lines_append_bytes(v.got, value);
    lines_append(v.got, "'");
}

// isolcpus=: its domain CPUs isolated, its nohz ones tickless.
void isolcpus_check(void *context, int /*argument*/, std::span<verdict> verdicts) {
    auto &a = *static_cast<audit_run *>(context);
    verdict &v = verdicts[0];
    std::string_view value;
    isolcpus_value isolcpus;
    if (!asked(a, v, "isolcpus", value)) {
        return;
    }
    if (!isolcpus_parse(value, isolcpus)) {
        unreadable(v, "CPUs isolated", "none: the kernel ignores a flag or list it cannot read",
                   value);
    } else if (!isolcpus.domain && !isolcpus.nohz) {
        verdict_skip(v, "managed_irq alone, which the kernel shows nowhere");
        return;
    }
    if (isolcpus.domain) {
        compare(a, v, isolcpus.cpus, a.domain, "isolated");
    }
    if (isolcpus.nohz) {
        compare(a, v, isolcpus.cpus, a.nohz, "tickless");
    }
    verdict_judge(v);
}

// nohz_full=: its CPUs tickless, and no other, where isolcpus=nohz asks no
// other list: the kernel takes the first of the two and refuses the other.
void nohz_full_check(void *context, int /*argument*/, std::span<verdict> verdicts) {
    auto &a = *static_cast<audit_run *>(context);
    verdict &v = verdicts[0];
    std::string_view value;
    cpu_list list{};
    if (!asked(a, v, "nohz_full", value)) {
        return;
    }
    if (!cpu_list_parse(value, list)) {
        unreadable(v, "CPUs tickless", "none: the kernel cannot read its list", value);
    } else if (!a.nohz_shown) {
        compare(a, v, list, {}, "tickless");
        lines_clear(v.got);
        lines_add(v.got, "none: the kernel shows no nohz_full, and so has none");
    } else {
        compare(a, v, list, a.nohz, "tickless");
        const cpu_list more = cpu_list_but(a.nohz, list);
        if (cpu_list_count(more) > 0) {
            std::string_view other;
            isolcpus_value isolcpus;
            cpu_list_format(more, a.list);
            const bool rival = kernel_param(a.cmdline, "isolcpus", other) &&
                               isolcpus_parse(other, isolcpus) && isolcpus.nohz;
            lines_append(v.got, ", and %s too%s", a.list,
                         rival ? ": nohz_full= must match isolcpus=nohz, and the kernel took "
                                 "isolcpus= and refused nohz_full="
                               : "");
        }
    }
    verdict_judge(v);
}

// irqaffinity=: the default affinity of interrupts, with the boot CPU the
// kernel adds.
void irqaffinity_check(void *context, int /*argument*/, std::span<verdict> verdicts) {
    auto &a = *static_cast<audit_run *>(context);
    verdict &v = verdicts[0];
    std::string_view value;
    if (!asked(a, v, "irqaffinity", value)) {
        return;
    }
    cpu_list now{};
    const unseen read = read_mask("/proc/irq/default_smp_affinity", a.list2, now);
    if (is_unseen(read)) {
        verdict_unseen(v, read);
        return;
    }
    cpu_list list{};
    if (!cpu_list_parse(value, list)) {
        list = cpu_list{};
    }
    cpu_list_format(list, a.list);
    lines_add(v.want, "the default affinity %s", a.list);
    if (!irqaffinity_holds(list, now)) {
        cpu_list_format(now, a.list);
    }
    lines_add(v.got, "the default affinity %s", a.list);
    verdict_judge(v);
}

// No isolated CPU in a mask of the kernel's: that of new interrupts, that of
// unbound workqueues (where the kernel has one).
struct mask_of {
    const char *what;
    const char *file;
    const char *kind;
};
constexpr mask_of MASKS[] = {
    {.what = "new interrupts stay off the isolated CPUs",
     .file = "/proc/irq/default_smp_affinity",
     .kind = "default affinity of new interrupts"},
    {.what = "unbound workqueues stay off the isolated CPUs",
     .file = "/sys/devices/virtual/workqueue/cpumask",
     .kind = "mask of unbound workqueues"},
};

// Whether some CPU is isolated, and every one is known; else the verdict
// says why not.
bool isolated_known(const audit_run &a, verdict &v) {
    if (cpu_list_count(a.isolated) == 0) {
        verdict_skip(v, "no CPU is isolated");
        return false;
    }
    if (is_unseen(a.unknown)) {
        verdict_unseen(v, a.unknown);
        return false;
    }
    return true;
}

void mask_check(void *context, int argument, std::span<verdict> verdicts) {
    auto &a = *static_cast<audit_run *>(context);
    const mask_of &m = std::span(MASKS)[static_cast<size_t>(argument)];
    verdict &v = verdicts[0];
    verdict_name(v, "%s", m.what);
    if (!isolated_known(a, v)) {
        return;
    }
    cpu_list mask{};
    const unseen read = read_mask(m.file, a.list2, mask);
    if (read.error == ENOENT) {
        verdict_skip(v, "the kernel has no %s (%s)", m.kind, m.file);
        return;
    }
    if (is_unseen(read)) {
        verdict_unseen(v, read);
        return;
    }
    lines_add(v.want, "no isolated CPU in the %s", m.kind);
    const cpu_list both = cpu_list_both(mask, a.isolated);
    if (cpu_list_count(both) == 0) {
        lines_add(v.got, "no isolated CPU in the %s", m.kind);
    } else {
        cpu_list_format(both, a.list);
        cpu_list_format(mask, a.list2);
        lines_add(v.got, "isolated CPUs %s in the %s %s", a.list, m.kind, a.list2);
    }
    verdict_judge(v);
}

// No isolated cgroup v2 partition the kernel holds invalid: each named,
// with the kernel's reason.
void invalid_check(void *context, int /*argument*/, std::span<verdict> verdicts) {
    const auto &a = *static_cast<const audit_run *>(context);
    verdict &v = verdicts[0];
    verdict_name(v, "no isolated partition is invalid");
    if (is_unseen(a.unknown)) {
        verdict_unseen(v, a.unknown);
        return;
    }
    if (!a.v2_cpuset) {
        verdict_skip(v, "the cpuset controller is not cgroup v2's here: there are no partitions");
        return;
    }
    lines_add(v.want, "none");
    if (a.invalid == 0) {
        lines_add(v.got, "none");
    }
    for (int i = 0; i < std::min(a.invalid, INVALID_NAMED); ++i) {
        lines_add(v.got, "%s", std::span(a.invalid_named)[static_cast<size_t>(i)]);
    }
    if (a.invalid > INVALID_NAMED) {
        lines_add(v.got, "and %d more", a.invalid - INVALID_NAMED);
    }
    verdict_judge(v);
}

// A file of the lockup watchdog's in /proc/sys/kernel: its number into
// value; shown false where the kernel has no such file.
unseen watchdog_file(const char *name, long &value, bool &shown, std::span<char> buf) {
    char path[64]{};
    snprintf(path, sizeof path, "/proc/sys/kernel/%s", name);
    const unseen read = read_line(path, buf);
    shown = !is_unseen(read);
    value = shown ? strtol(buf.data(), nullptr, 10) : 0;
    return read.error == ENOENT ? unseen{} : read;
}

// The lockup watchdog, where it is on (watchdog, and its soft or its NMI
// detector), runs on no isolated CPU: its watchdog_cpumask holds none.
void watchdog_check(void *context, int /*argument*/, std::span<verdict> verdicts) {
    auto &a = *static_cast<audit_run *>(context);
    verdict &v = verdicts[0];
    verdict_name(v, "the lockup watchdog stays off the isolated CPUs");
    if (!isolated_known(a, v)) {
        return;
    }
    long on = 0;
    long soft = 0;
    long nmi = 0;
    bool shown = false;
    unseen u = watchdog_file("watchdog", on, shown, a.list2);
    if (!is_unseen(u) && shown) {
        bool detector = false; // a detector the kernel lacks reads as off
        u = watchdog_file("soft_watchdog", soft, detector, a.list2);
        if (!is_unseen(u)) {
            u = watchdog_file("nmi_watchdog", nmi, detector, a.list2);
        }
    }
    if (is_unseen(u)) {
        verdict_unseen(v, u);
        return;
    }
    if (!shown) {
        verdict_skip(v, "the kernel has no lockup watchdog (/proc/sys/kernel/watchdog)");
        return;
    }
    lines_add(v.want, "no isolated CPU in the watchdog's");
    if (on == 0 || (soft == 0 && nmi == 0)) {
        lines_add(v.got, "no isolated CPU in the watchdog's");
        verdict_judge(v);
        return;
    }
    cpu_list mask{};
    u = read_list("/proc/sys/kernel/watchdog_cpumask", a.list2, mask);
    if (is_unseen(u)) {
        verdict_unseen(v, u);
        return;
    }
    const cpu_list both = cpu_list_both(mask, a.isolated);
    if (cpu_list_count(both) == 0) {
        lines_add(v.got, "no isolated CPU in the watchdog's");
    } else {
        cpu_list_format(both, a.list);
        lines_add(v.got, "isolated CPUs %s in the watchdog's, its watchdog_cpumask %s", a.list,
                  a.list2);
        cpu_list_format(cpu_list_both(a.housekeeping, a.online), a.list);
        lines_add(v.notes,
                  "to keep it off them: sysctl kernel.watchdog_cpumask=%s, or boot with "
                  "nowatchdog",
                  a.list);
    }
    verdict_judge(v);
}

// CPU by CPU: no task, and no interrupt, strays there.
void strays_check(const audit_run &a, verdict &v, int cpu, const offenders &o,
                  const unseen &unseen_by, const char *kind) {
    verdict_name(v, "no %s strays onto isolated CPU %d", kind, cpu);
    if (is_unseen(a.unknown) || is_unseen(unseen_by)) {
        verdict_unseen(v, is_unseen(a.unknown) ? a.unknown : unseen_by);
        return;
    }
    lines_add(v.want, "none");
    describe(o, cpu, kind, v.got);
    verdict_judge(v);
}

void task_check(void *context, int cpu, std::span<verdict> verdicts) {
    const auto &a = *static_cast<const audit_run *>(context);
    strays_check(a, verdicts[0], cpu, a.tasks, a.tasks_unseen, "task");
}

void irq_check(void *context, int cpu, std::span<verdict> verdicts) {
    const auto &a = *static_cast<const audit_run *>(context);
    strays_check(a, verdicts[0], cpu, a.irqs, a.irqs_unseen, "interrupt");
}

// What users should know of the isolation but may have chosen, as notes:
// an isolated CPU that shares its core with a housekeeping one, a
// clocksource other than the TSC on x86 with nohz_full=, rcu_nocbs=, whose
// effect the kernel does not show; and the window.
void notes(audit_run &a, lines &h) {
    for (int cpu = cpu_list_next(a.checked, -1); cpu >= 0; cpu = cpu_list_next(a.checked, cpu)) {
        char path[96]{};
        snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%d/topology/thread_siblings_list",
                 cpu);
        cpu_list siblings{};
        if (!is_unseen(read_list(path, a.list2, siblings))) {
            const cpu_list shared = cpu_list_both(siblings, a.housekeeping);
            cpu_list_format(shared, a.list);
            if (cpu_list_count(shared) > 0) {
                lines_add(h, "isolated CPU %d shares its core with housekeeping CPUs %s (SMT)", cpu,
                          a.list);
            }
        }
    }
    utsname machine{};
    std::string_view value;
    static char clocksource[256];
    if (is_unseen(a.cmdline_unread)) {
        return;
    }
    if (uname(&machine) == 0 &&
        (strcmp(machine.machine, "x86_64") == 0 ||
         (machine.machine[0] == 'i' && strstr(machine.machine, "86") != nullptr)) &&
        kernel_param(a.cmdline, "nohz_full", value) &&
        !is_unseen(read_line("/sys/devices/system/clocksource/clocksource0/current_clocksource",
                             clocksource)) &&
        strcmp(clocksource, "tsc") != 0) {
        lines_add(h, "with nohz_full=, the clocksource is %s, not tsc", clocksource);
    }
    if (kernel_param(a.cmdline, "rcu_nocbs", value)) {
        lines_add(h, "rcu_nocbs=");
        lines_append_bytes(h, value);
        lines_append(h, " is on the command line: the kernel shows nothing of its effect");
    }
}

// The CPUs, whence each isolated one, and the isolation parameters of the
// command line.
void header(audit_run &a, lines &h) {
    const struct {
        const char *name;
        const cpu_list *cpus;
    } sets[] = {
        {.name = "isolated", .cpus = &a.domain},
        {.name = "nohz_full", .cpus = &a.nohz},
        {.name = a.listed ? "cpuset.cpus.isolated" : "isolated partitions", .cpus = &a.partitions}};
    cpu_list_format(a.isolated, a.list);
    lines_add(h,
              "isolated CPUs %s, as the kernel shows them: ", a.list[0] != '\0' ? a.list : "none");
    const char *separator = "";
    for (const auto &set : sets) {
        cpu_list_format(*set.cpus, a.list);
        lines_append(h, "%s%s %s", separator, set.name, a.list[0] != '\0' ? a.list : "none");
        separator = ", ";
    }
    cpu_list_format(cpu_list_both(a.housekeeping, a.online), a.list2);
    lines_add(h, "housekeeping CPUs %s, the other online ones",
              a.list2[0] != '\0' ? a.list2 : "none");
    if (is_unseen(a.unknown)) {
        lines_add(h, "the isolated CPUs cannot all be known: %s", a.unknown.text);
    }
    if (is_unseen(a.cmdline_unread)) {
        lines_add(h, "the kernel command line: %s", a.cmdline_unread.text);
    } else {
        lines_add(h, "the kernel command line:");
        bool any = false;
        for (const char *name : PARAMETERS) {
            std::string_view value;
            if (kernel_param(a.cmdline, name, value)) {
                lines_append(h, " %s=", name);
                lines_append_bytes(h, value);
                any = true;
            }
        }
        if (!any) {
            lines_append(h, " no isolation");
        }
    }
    notes(a, h);
    if (a.window.seconds > 0) {
        lines_add(h,
                  "a window of %d s: what each isolated CPU online takes meanwhile, the audit "
                  "asleep on a housekeeping CPU",
                  a.window.seconds);
    }
}

// The checks, in order.
size_t list_checks(audit_run &a, std::span<check> checks) {
    size_t n = 0;
    for (auto *run : {isolcpus_check, nohz_full_check, irqaffinity_check}) {
        checks[n++] = check{.run = run, .context = &a, .argument = 0, .verdicts = 1};
    }
    for (int i = 0; i < static_cast<int>(std::size(MASKS)); ++i) {
        checks[n++] = check{.run = mask_check, .context = &a, .argument = i, .verdicts = 1};
    }
    for (auto *run : {invalid_check, watchdog_check}) {
        checks[n++] = check{.run = run, .context = &a, .argument = 0, .verdicts = 1};
    }
    for (int cpu = cpu_list_next(a.checked, -1); cpu >= 0; cpu = cpu_list_next(a.checked, cpu)) {
        checks[n++] = check{.run = task_check, .context = &a, .argument = cpu, .verdicts = 1};
        checks[n++] = check{.run = irq_check, .context = &a, .argument = cpu, .verdicts = 1};
    }
    for (int cpu = cpu_list_next(a.checked, -1); cpu >= 0 && a.window.seconds > 0;
         cpu = cpu_list_next(a.checked, cpu)) {
        checks[n++] =
            check{.run = window_check, .context = &a.window, .argument = cpu, .verdicts = 1};
    }
    return n;
}

} // namespace

int audit(int seconds) {
    static audit_run a;
    const unseen found = find_isolated(a);
    if (is_unseen(found)) {
        return skip_all(found.text);
    }
    a.cmdline_unread = read_file("/proc/cmdline", a.cmdline);
    bool any_asked = false;
    for (const char *name : PARAMETERS) {
        std::string_view value;
        any_asked = any_asked || kernel_param(a.cmdline, name, value);
    }
    // (an isolated partition the kernel holds invalid asked for isolation,
    // and isolates nothing: its check says so)
    if (cpu_list_count(a.isolated) == 0 && !any_asked && !is_unseen(a.cmdline_unread) &&
        a.invalid == 0) {
        static text why;
        text_set(why, "no CPU is isolated here%s%s, and the kernel command line asks for none",
                 is_unseen(a.unknown) ? " as far as can be seen: " : "",
                 is_unseen(a.unknown) ? a.unknown.text : "");
        return skip_all(why.s);
    }
    if (cpu_list_count(a.checked) > 0) {
        scan(a);
    }
    a.window = window_plan{.seconds = seconds,
                           .checked = a.checked,
                           .housekeeping = a.housekeeping,
                           .nohz = a.nohz,
                           .online = a.online};
    static lines head;
    header(a, head);
    static check checks[7 + (3 * CPU_LIST_CPUS)];
    return run_checks(std::span(checks).first(list_checks(a, checks)), head);
}
