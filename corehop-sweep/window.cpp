// SPDX-License-Identifier: MIT
#include "window.h"
#include "cpu_mask.h"
#include "lifetime.h"
#include "machine.h"
#include "noise.h"
#include "scan.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <unistd.h>

namespace {

// The lines of a counters' file kept, the isolated CPUs measured at most,
// and the longest line read: a count of 10 digits a CPU, of every CPU.
constexpr int LINES_MAX = 2048;
constexpr int CPUS_MAX = 128;
constexpr size_t LINE_BUFFER = size_t{128} * 1024;

// A line of /proc/interrupts or /proc/softirqs: its name, what follows its
// counts (cut), what it counts, and whether the end found it again.
struct source_line {
    char name[16];
    char rest[96];
    interrupt_kind kind;
    bool again;
};

// A counters' file: its lines, and what each measured CPU counted on each,
// at the start, then what it took over the window.
struct counters {
    const char *file;
    int lines;
    source_line line[LINES_MAX];
    uint64_t count[LINES_MAX][CPUS_MAX];
    cpu_list header;
};

// What the start and the end each saw of a CPU's line of a file.
constexpr uint8_t AT_START = 1;
constexpr uint8_t AT_END = 2;

// One window, measured once for all the checks of it: the measured CPUs'
// index, the counters, and each CPU's idle time and time waited.
struct window_run {
    bool done{};
    unseen why{}; // why nothing could be measured
    int16_t index[CPU_LIST_CPUS]{};
    int measured{};
    counters interrupts{};
    counters softirqs{};
    int32_t column_cpu[CPU_LIST_CPUS]{};
    uint64_t column_count[CPU_LIST_CPUS]{};
    uint8_t timed[CPUS_MAX]{};
    uint64_t idle[CPUS_MAX]{};
    uint8_t waited[CPUS_MAX]{};
    uint64_t wait[CPUS_MAX]{};
    unseen wait_unseen{};
    double seconds{};
    cpu_list where{}; // the CPUs the audit sleeps on
};

window_run &the_window() {
    static window_run w{};
    return w;
}

void copy_cut(std::span<char> to, std::string_view from) {
    const size_t length = std::min(from.size(), to.size() - 1);
    memcpy(to.data(), from.data(), length);
    to[length] = '\0';
}

// The reading of a counters' file, at the start or at the end.
struct counters_pass {
    window_run *w{};
    counters *c{};
    bool end{};
    int columns{};
    int next{}; // the line of the start the next line of the end is likely to be
    unseen failed;
};

bool same_line(const source_line &l, const counter_line &read) {
    char rest[sizeof l.rest]{};
    copy_cut(rest, read.rest);
    return !l.again && read.name == l.name && strcmp(rest, l.rest) == 0;
}

// The line of the start that a line of the end is, or a new one (zero at the
// start): its index, or -1 where there is no room.
int line_of(counters_pass &p, const counter_line &read) {
    counters &c = *p.c;
    if (p.end && p.next < c.lines &&
        same_line(std::span(c.line)[static_cast<size_t>(p.next)], read)) {
        return p.next++;
    }
    for (int i = 0; p.end && i < c.lines; ++i) {
        if (same_line(std::span(c.line)[static_cast<size_t>(i)], read)) {
            return i;
        }
    }
    if (c.lines == LINES_MAX) {
        return -1;
    }
    source_line &added = std::span(c.line)[static_cast<size_t>(c.lines)];
    copy_cut(added.name, read.name);
    copy_cut(added.rest, read.rest);
    added.kind = interrupt_kind_of(read.name, read.rest);
    added.again = false;
    std::ranges::fill(std::span(c.count)[static_cast<size_t>(c.lines)], uint64_t{0});
    return c.lines++;
}

bool read_header(counters_pass &p, std::string_view text) {
    cpu_list cpus{};
    p.columns = counters_header(text, p.w->column_cpu, cpus);
    if (p.columns < 0) {
        p.failed = unseen_said(p.c->file, EINVAL, "%s holds no header of CPUs", p.c->file);
        return false;
    }
    if (p.end && cpu_list_count(cpu_list_but(cpus, p.c->header)) +
                         cpu_list_count(cpu_list_but(p.c->header, cpus)) >
                     0) {
        static char before[CPU_LIST_TEXT_MAX];
        static char after[CPU_LIST_TEXT_MAX];
        cpu_list_format(p.c->header, before);
        cpu_list_format(cpus, after);
        p.failed = unseen_said(
            p.c->file, 0, "the CPUs online changed during the window: %s, then %s", before, after);
        return false;
    }
    p.c->header = cpus;
    return true;
}

bool take_line(void *context, std::string_view text) {
    auto &p = *static_cast<counters_pass *>(context);
    if (p.columns < 0) {
        return read_header(p, text);
    }
    counter_line read{};
    const auto counts = std::span(p.w->column_count).first(static_cast<size_t>(p.columns));
    const std::span<const int32_t> cpus(p.w->column_cpu);
    if (!counters_line(text, counts, read)) {
        return true;
    }
    const int at = line_of(p, read);
    if (at < 0) {
        p.failed =
            unseen_said(p.c->file, E2BIG, "%s holds more than %d lines", p.c->file, LINES_MAX);
        return false;
    }
    source_line &l = std::span(p.c->line)[static_cast<size_t>(at)];
    auto &count = std::span(p.c->count)[static_cast<size_t>(at)];
    for (size_t column = 0; column < counts.size(); ++column) {
        const int16_t j = std::span(p.w->index)[static_cast<size_t>(cpus[column])];
        if (j < 0) {
            continue;
        }
        uint64_t &held = std::span(count)[static_cast<size_t>(j)];
        // (a counter that went back, a line reused: nothing taken)
        if (!p.end) {
            held = counts[column];
        } else {
            held = counts[column] >= held ? counts[column] - held : 0;
        }
    }
    l.again = p.end;
    return true;
}

unseen read_counters(window_run &w, counters &c, bool end) {
    static char buffer[LINE_BUFFER];
    counters_pass p{.w = &w, .c = &c, .end = end, .columns = -1, .next = 0, .failed = {}};
    if (!end) {
        c.lines = 0;
    }
    unseen read = each_line(c.file, buffer, take_line, &p);
    if (is_unseen(read)) {
        return read;
    }
    if (is_unseen(p.failed) || p.columns < 0) {
        return is_unseen(p.failed)
                   ? p.failed
                   : unseen_said(c.file, EINVAL, "%s holds no header of CPUs", c.file);
    }
    // (a line the end lacks, as an interrupt freed meanwhile, took nothing)
    for (int i = 0; end && i < c.lines; ++i) {
        source_line &l = std::span(c.line)[static_cast<size_t>(i)];
        if (!l.again) {
            auto &count = std::span(c.count)[static_cast<size_t>(i)];
            std::ranges::fill(count, uint64_t{0});
            l.again = true;
        }
    }
    return {};
}

// The idle time of each measured CPU (/proc/stat), and the time tasks
// waited there (/proc/schedstat): at the start, then what grew.
struct times_pass {
    window_run *w{};
    bool end{};
};

bool take_times(void *context, std::string_view text) {
    auto &p = *static_cast<times_pass *>(context);
    cpu_times times{};
    if (!cpu_times_parse(text, times)) {
        return true;
    }
    const int16_t j = std::span(p.w->index)[static_cast<size_t>(times.cpu)];
    if (j >= 0) {
        uint64_t &idle = std::span(p.w->idle)[static_cast<size_t>(j)];
        idle = p.end ? times.idle - std::min(idle, times.idle) : times.idle;
        std::span(p.w->timed)[static_cast<size_t>(j)] |= p.end ? AT_END : AT_START;
    }
    return true;
}

bool take_wait(void *context, std::string_view text) {
    auto &p = *static_cast<times_pass *>(context);
    int32_t cpu = -1;
    uint64_t wait = 0;
    if (!cpu_wait_parse(text, cpu, wait)) {
        return true;
    }
    const int16_t j = std::span(p.w->index)[static_cast<size_t>(cpu)];
    if (j >= 0) {
        uint64_t &held = std::span(p.w->wait)[static_cast<size_t>(j)];
        held = p.end ? wait - std::min(held, wait) : wait;
        std::span(p.w->waited)[static_cast<size_t>(j)] |= p.end ? AT_END : AT_START;
    }
    return true;
}

// Reads every counter, at the start or the end.
unseen read_all(window_run &w, bool end) {
    static char buffer[size_t{64} * 1024];
    unseen u = read_counters(w, w.interrupts, end);
    if (!is_unseen(u)) {
        u = read_counters(w, w.softirqs, end);
    }
    times_pass p{.w = &w, .end = end};
    if (!is_unseen(u)) {
        u = each_line("/proc/stat", buffer, take_times, &p);
    }
    if (!is_unseen(u) && !is_unseen(w.wait_unseen)) {
        w.wait_unseen = each_line("/proc/schedstat", buffer, take_wait, &p);
    }
    return u;
}

// The audit's own thread on the housekeeping CPUs it may use, online.
unseen sleep_apart(const window_plan &plan, window_run &w) {
    cpu_list own{};
    unseen u = own_cpus(own);
    if (is_unseen(u)) {
        return u;
    }
    w.where = cpu_list_both(cpu_list_both(plan.housekeeping, plan.online), own);
    if (cpu_list_count(w.where) == 0) {
        return unseen_said("sched_setaffinity", 0,
                           "no housekeeping CPU this process may run on: the window would "
                           "disturb an isolated CPU");
    }
    static cpu_mask mask;
    mask = cpu_mask{};
    for (int cpu = cpu_list_next(w.where, -1); cpu >= 0; cpu = cpu_list_next(w.where, cpu)) {
        const auto word = static_cast<size_t>(cpu) / (8 * sizeof(cpu_set_t));
        CPU_SET_S(static_cast<size_t>(cpu) % (8 * sizeof(cpu_set_t)), sizeof(cpu_set_t),
                  &std::span(mask.sets)[word]);
    }
    if (sched_setaffinity(0, sizeof mask.sets, mask.sets) != 0) {
        return unseen_call("sched_setaffinity", errno);
    }
    return {};
}

// The window, measured: the audit apart, the counters read, a sleep of its
// seconds (a signal ends it at once), the counters read again.
void measure(const window_plan &plan, window_run &w) {
    w.done = true;
    w.interrupts.file = "/proc/interrupts";
    w.softirqs.file = "/proc/softirqs";
    std::ranges::fill(w.index, int16_t{-1});
    for (int cpu = cpu_list_next(plan.checked, -1); cpu >= 0 && w.measured < CPUS_MAX;
         cpu = cpu_list_next(plan.checked, cpu)) {
        std::span(w.index)[static_cast<size_t>(cpu)] = static_cast<int16_t>(w.measured++);
    }
    w.why = sleep_apart(plan, w);
    if (is_unseen(w.why)) {
        return;
    }
    const long long start = now_ms();
    w.why = read_all(w, false);
    const long long deadline = start + (plan.seconds * 1000LL);
    for (long long left = deadline - now_ms(); !is_unseen(w.why) && left > 0;
         left = deadline - now_ms()) {
        w.why = nap(static_cast<int>(left));
    }
    if (!is_unseen(w.why)) {
        w.why = read_all(w, true);
    }
    w.seconds = static_cast<double>(now_ms() - start) / 1000.0;
}

double rate(uint64_t count, double seconds) {
    return seconds > 0 ? static_cast<double>(count) / seconds : 0;
}

bool all_digits(const char *name) {
    return name[0] != '\0' && strspn(name, "0123456789") == strlen(name);
}

// A device's interrupt that fired on cpu: where its affinity allows a
// housekeeping CPU, a line of got; a per-CPU one (an empty effective
// affinity) is none. What could not be read of it, where something could
// not.
unseen judge_device(const window_plan &plan, const source_line &l, uint64_t count, double seconds,
                    lines &got, bool &per_cpu) {
    static char affinity[CPU_LIST_TEXT_MAX];
    static char effective[CPU_LIST_TEXT_MAX];
    bool shown = false;
    unseen u = irq_file(l.name, "effective_affinity_list", effective, shown);
    per_cpu = shown && effective[0] == '\0';
    if (is_unseen(u) || per_cpu) {
        return u;
    }
    u = irq_file(l.name, "smp_affinity_list", affinity, shown);
    cpu_list allowed{};
    if (!is_unseen(u) && (!shown || !cpu_list_parse(affinity, allowed))) {
        u = unseen_said(l.name, ENOENT, "IRQ %s, which fired, shows no affinity now", l.name);
    }
    if (is_unseen(u)) {
        return u;
    }
    const cpu_list both = cpu_list_both(allowed, plan.housekeeping);
    if (cpu_list_count(both) > 0) {
        const std::string_view handler = interrupt_handler(l.rest);
        lines_add(got, "IRQ %s (%.*s) fired %llu time%s (%.1f/s) and may use housekeeping CPUs ",
                  l.name, static_cast<int>(handler.size()), handler.data(),
                  static_cast<unsigned long long>(count), count == 1 ? "" : "s",
                  rate(count, seconds));
        static char list[CPU_LIST_TEXT_MAX];
        cpu_list_format(both, list);
        lines_append(got, "%s", list);
    }
    return {};
}

// The sources that fired on the CPU, measured at index j, as notes; the
// devices that may use a housekeeping CPU in got; the local timer's count.
unseen sources(const window_plan &plan, const window_run &w, int j, verdict &v, uint64_t &ticks) {
    for (const counters *c : {&w.interrupts, &w.softirqs}) {
        for (int i = 0; i < c->lines; ++i) {
            const source_line &l = std::span(c->line)[static_cast<size_t>(i)];
            const uint64_t count =
                std::span(std::span(c->count)[static_cast<size_t>(i)])[static_cast<size_t>(j)];
            if (count == 0) {
                continue;
            }
            const auto times = static_cast<unsigned long long>(count);
            if (c == &w.softirqs) {
                lines_add(v.notes, "softirq %s: %llu, %.1f/s", l.name, times,
                          rate(count, w.seconds));
                continue;
            }
            const bool numbered = all_digits(l.name);
            const std::string_view what =
                numbered ? interrupt_handler(l.rest) : std::string_view(l.rest);
            // (s390x's EXT says nothing of itself)
            lines_add(v.notes, "%s%s%s%.*s%s: %llu, %.1f/s", numbered ? "IRQ " : "", l.name,
                      what.empty() ? "" : " (", static_cast<int>(what.size()), what.data(),
                      what.empty() ? "" : ")", times, rate(count, w.seconds));
            ticks += l.kind == interrupt_kind::local_timer ? count : 0;
            bool per_cpu = false;
            const unseen u = l.kind == interrupt_kind::device
                                 ? judge_device(plan, l, count, w.seconds, v.got, per_cpu)
                                 : unseen{};
            if (is_unseen(u)) {
                return u;
            }
        }
    }
    return {};
}

} // namespace

void window_check(void *context, int cpu, std::span<verdict> verdicts) {
    const auto &plan = *static_cast<const window_plan *>(context);
    window_run &w = the_window();
    verdict &v = verdicts[0];
    verdict_name(v, "isolated CPU %d stays quiet for %d s", cpu, plan.seconds);
    if (!w.done) {
        measure(plan, w);
    }
    if (is_unseen(w.why)) {
        verdict_unseen(v, w.why);
        return;
    }
    const int16_t j = std::span(w.index)[static_cast<size_t>(cpu)];
    if (j < 0) {
        verdict_skip(v, "not measured: a window measures the first %d isolated CPUs", CPUS_MAX);
        return;
    }
    if (std::span(w.timed)[static_cast<size_t>(j)] != (AT_START | AT_END)) {
        verdict_skip(v, "/proc/stat shows no time of CPU %d at the %s of the window", cpu,
                     std::span(w.timed)[static_cast<size_t>(j)] == AT_START ? "end" : "start");
        return;
    }
    const uint64_t idle = std::span(w.idle)[static_cast<size_t>(j)];
    const long ticks_a_second = sysconf(_SC_CLK_TCK);
    const bool busy = busy_all_window(idle, w.seconds, ticks_a_second);
    const bool nohz = cpu_list_has(plan.nohz, cpu);
    lines_add(v.notes, "%s, idle %.1f s of %.1f s; %s", busy ? "busy" : "not busy",
              static_cast<double>(idle) / static_cast<double>(ticks_a_second), w.seconds,
              nohz ? "tickless (nohz_full)" : "not tickless");
    uint64_t ticks = 0;
    const unseen u = sources(plan, w, j, v, ticks);
    if (is_unseen(u)) {
        lines_clear(v.notes);
        verdict_unseen(v, u);
        return;
    }
    if (busy && tick_runs(ticks, w.seconds)) {
        lines &said = nohz ? v.got : v.notes;
        lines_add(said, "the tick runs: %llu local timer interrupts, %.1f/s, on this busy CPU%s",
                  static_cast<unsigned long long>(ticks), rate(ticks, w.seconds),
                  nohz ? ", though it is tickless" : ", which is not tickless, as configured");
        const uint64_t waited = std::span(w.wait)[static_cast<size_t>(j)];
        if (nohz && std::span(w.waited)[static_cast<size_t>(j)] == (AT_START | AT_END) &&
            waited > 0) {
            lines_add(said, "tasks waited to run there for %.1f s: more than one shares it",
                      static_cast<double>(waited) / 1e9);
        }
    }
    lines_add(v.want, "quiet");
    if (v.got.count == 0) {
        lines_add(v.got, "quiet");
    }
    verdict_judge(v);
}
