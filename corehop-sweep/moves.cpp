// SPDX-License-Identifier: MIT
#include "moves.h"
#include "children.h"
#include "hotplug.h"
#include "lifetime.h"
#include "machine.h"
#include "report.h"
#include "scan.h"
#include "text_part.h"
#include "verdict.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char *const UNKNOWN_REASON =
    "the kernel refuses it: this task's cpuset, which cannot be read here, may not hold it";

// Everything one sweep knows.
// (Kept in static storage alone, zero before its constructor runs, which
// sets the values of what could not be seen and writes nothing else: no
// page of it is touched before it is used.)
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
struct sweep_run {
    cpu_list possible;
    cpu_list online;
    cpu_list usable;
    cpu_list moves;
    char possible_text[CPU_LIST_TEXT_MAX];
    char online_text[CPU_LIST_TEXT_MAX];
    char cpuset[CPU_LIST_TEXT_MAX];
    char cpuset_file[PATH_TEXT_MAX];
    bool cpuset_known;
    unseen cpuset_unseen; // why no cpuset can be read, where a read failed
    char usable_text[CPU_LIST_TEXT_MAX];
    char corehop[PATH_TEXT_MAX];
    char corenest[PATH_TEXT_MAX];
    int park_cpu;
    int own_single; // this process's only CPU, or -1
    child parker;
    unseen park_failure; // why the parker could not start
    hotplug_plan hotplug;
    char before[CPU_LIST_TEXT_MAX];
    char after[CPU_LIST_TEXT_MAX];
    char line[VERDICT_LINE_MAX];
};

sweep_run &the_sweep() {
    static sweep_run r;
    return r;
}

// The kernel refused CPU where the cpuset cannot be read: it may lie
// outside.
bool unknown_refusal(sweep_run &r, const tool_result &t, int cpu, long task) {
    move_fail_line(r.line, static_cast<int32_t>(task), cpu);
    return !r.cpuset_known && t.status == 255 && output_of(t) == r.line;
}

// corehop moves its own thread to CPU; the evidence is its own read-back
// alone, which the sweep cannot see.
void moves_itself(void *context, int cpu, std::span<verdict> verdicts) {
    auto &r = *static_cast<sweep_run *>(context);
    verdict &v = verdicts[0];
    verdict_name(v, "corehop moves itself to CPU %d, by its own read-back", cpu);
    const tool_result &t = run_corehop(r.corehop, cpu, 0);
    if (is_unseen(t.hindrance)) {
        verdict_unseen(v, t.hindrance);
        return;
    }
    if (unknown_refusal(r, t, cpu, 0)) {
        verdict_skip(v, "%s", UNKNOWN_REASON);
        return;
    }
    move_pass_line(r.line, 0, cpu);
    lines_add(v.want, "status 0: %s", r.line);
    said_by(v.got, t);
    verdict_judge(v);
}

// Where the parker is: parked once it runs as corenest on its CPU alone,
// gone once it has ended (whether or not waited for), else not yet.
enum class parking : uint8_t { parked, gone, not_yet };

unseen park_state(sweep_run &r, parking &state) {
    char name[64]{};
    char task = '\0';
    unseen seen = state_of(r.parker.pid, name, task);
    if (!is_unseen(seen) && task != 'Z' && task != 'X') {
        seen = cpus_of(r.parker.pid, r.after);
    }
    state = parking::gone;
    if (task_gone(seen) || task == 'Z' || task == 'X') {
        return {};
    }
    char want[16]{};
    snprintf(want, sizeof want, "%d", r.park_cpu);
    state = strcmp(name, "(corenest)") == 0 && strcmp(r.after, want) == 0 ? parking::parked
                                                                          : parking::not_yet;
    return seen;
}

// The parker has pinned itself once it runs as corenest on its CPU alone,
// provided that it started on other CPUs too: until then it may be the sweep
// that starts it, or corenest before its pin, which would undo a move. That
// it sleeps proves nothing: it may sleep before its pin, while its program is
// read from a slow file system.
void wait_parked(void *context, int /*argument*/, std::span<verdict> verdicts) {
    auto &r = *static_cast<sweep_run *>(context);
    verdict &v = verdicts[0];
    verdict_name(v, "corenest parks on CPU %d", r.park_cpu);
    if (r.parker.pid < 0) {
        verdict_unseen(v, r.park_failure);
        return;
    }
    parking state = parking::not_yet;
    unseen seen = park_state(r, state);
    const long long deadline = now_ms() + (BOUND_SECONDS * 1000LL);
    while (!is_unseen(seen) && state == parking::not_yet && now_ms() < deadline) {
        seen = nap(10);
        if (!is_unseen(seen)) {
            seen = park_state(r, state);
        }
    }
    if (is_unseen(seen)) {
        verdict_unseen(v, seen);
        return;
    }
    lines_add(v.want, "parked");
    if (state == parking::parked) {
        r.hotplug.parked = true;
        if (r.own_single == r.park_cpu) {
            verdict_skip(v, "this process may use CPU %d alone: the pin cannot show", r.park_cpu);
            return;
        }
        lines_add(v.got, "parked");
    } else if (state == parking::gone) {
        const tool_result &t = finish_child(r.parker, BOUND_SECONDS * 1000);
        if (is_unseen(t.hindrance)) {
            verdict_unseen(v, t.hindrance);
            return;
        }
        lines_add(v.got, "ended with status %d: ", t.status);
        lines_append_output(v.got, output_of(t));
    } else {
        lines_add(v.got, "on CPUs %s after %d s", r.after, BOUND_SECONDS);
    }
    verdict_judge(v);
}

// corehop moves the parker to CPU, and the kernel shows it there alone, where
// it was not.
void moves_parker(void *context, int cpu, std::span<verdict> verdicts) {
    auto &r = *static_cast<sweep_run *>(context);
    verdict &v = verdicts[0];
    verdict_name(v, "corehop moves the parker to CPU %d", cpu);
    if (!r.hotplug.parked) {
        verdict_skip(v, "no parker");
        return;
    }
    unseen seen = cpus_of(r.parker.pid, r.before);
    if (is_unseen(seen)) {
        verdict_unseen(v, seen);
        return;
    }
    char cpu_text[16]{};
    snprintf(cpu_text, sizeof cpu_text, "%d", cpu);
    if (strcmp(r.before, cpu_text) == 0) {
        if (strcmp(r.usable_text, cpu_text) == 0) {
            verdict_skip(v, "one CPU a task may use here: the move cannot show");
        } else {
            verdict_skip(v, "the parker is on CPU %d alone already: the move cannot show", cpu);
        }
        return;
    }
    const tool_result &t = run_corehop(r.corehop, cpu, r.parker.pid);
    if (is_unseen(t.hindrance)) {
        verdict_unseen(v, t.hindrance);
        return;
    }
    seen = cpus_of(r.parker.pid, r.after);
    if (is_unseen(seen)) {
        verdict_unseen(v, seen);
        return;
    }
    if (unknown_refusal(r, t, cpu, r.parker.pid) && strcmp(r.after, r.before) == 0) {
        verdict_skip(v, "%s", UNKNOWN_REASON);
        return;
    }
    move_pass_line(r.line, static_cast<int32_t>(r.parker.pid), cpu);
    lines_add(v.want, "status 0: %s; CPUs %d", r.line, cpu);
    said_by(v.got, t);
    lines_append(v.got, "; CPUs %s", r.after);
    verdict_judge(v);
}

// A CPU of -c that a task may not use, for the reason.
void unusable(const sweep_run &r, verdict &v, int cpu, const char *why) {
    verdict_name(v, "corehop moves the parker to CPU %d", cpu);
    const char *const past =
        cpu > cpu_list_last(r.possible) ? "past the possible CPUs" : "not a possible CPU";
    verdict_skip(v, "%s: a task may not use it", why != nullptr ? why : past);
}

void unusable_absent(void *context, int cpu, std::span<verdict> verdicts) {
    unusable(*static_cast<sweep_run *>(context), verdicts[0], cpu, nullptr);
}

void unusable_offline(void *context, int cpu, std::span<verdict> verdicts) {
    unusable(*static_cast<sweep_run *>(context), verdicts[0], cpu, "offline");
}

void unusable_outside(void *context, int cpu, std::span<verdict> verdicts) {
    unusable(*static_cast<sweep_run *>(context), verdicts[0], cpu, "outside the cpuset");
}

// corehop refuses to move the parker to CPU, which keeps its CPUs; where
// there is no parker, to move itself there, which its line and status alone
// show. True where it ran to its end.
bool corehop_refuses(sweep_run &r, verdict &v, const char *what, int cpu, int &status) {
    const long task = r.hotplug.parked ? r.parker.pid : 0;
    verdict_name(v, "corehop refuses %s", what);
    const unseen before = task != 0 ? cpus_of(task, r.before) : unseen{};
    if (is_unseen(before)) {
        verdict_unseen(v, before);
        return false;
    }
    const tool_result &t = run_corehop(r.corehop, cpu, task);
    status = t.status;
    if (is_unseen(t.hindrance)) {
        verdict_unseen(v, t.hindrance);
        return false;
    }
    if (task != 0) {
        const unseen after = cpus_of(task, r.after);
        if (is_unseen(after)) {
            verdict_unseen(v, after);
            return t.in_time;
        }
    }
    move_fail_line(r.line, static_cast<int32_t>(task), cpu);
    lines_add(v.want, "status 255: %s", r.line);
    said_by(v.got, t);
    if (task != 0) {
        lines_append(v.want, "; CPUs %s", r.before);
        lines_append(v.got, "; CPUs %s", r.after);
    }
    verdict_judge(v);
    return t.in_time;
}

// corenest refuses to park on CPU. It runs only where the kernel refused
// corehop: else it might park there for good.
void corenest_refuses(sweep_run &r, verdict &v, const char *what, int cpu, bool corehop_ran,
                      int corehop_status) {
    verdict_name(v, "corenest refuses %s", what);
    if (!corehop_ran) {
        verdict_skip(v, "not run, for corehop could not run: corenest might park there");
        return;
    }
    lines_add(v.want, "refused");
    if (corehop_status != 255) {
        lines_add(v.got, "not run, for corehop was not refused: corenest might park there");
        verdict_judge(v);
        return;
    }
    lines_clear(v.want);
    char cpu_text[16]{};
    snprintf(cpu_text, sizeof cpu_text, "%d", cpu);
    const char *const args[] = {r.corenest, "-n", cpu_text, nullptr};
    const tool_result &t = run_tool(r.corenest, args);
    if (is_unseen(t.hindrance)) {
        verdict_unseen(v, t.hindrance);
        return;
    }
    // the line names corenest's own pid, whatever it is
    const std::string_view out = output_of(t);
    const long pid = park_fail_pid(part(out, 0, out.find('\n')));
    park_fail_line(r.line, pid, cpu, "Invalid argument");
    lines_add(v.want, "status 255: ");
    if (pid < 0) {
        lines_append(v.want, "Fail:Set thread PID on CPU %d affinity failed, error: %s", cpu,
                     "Invalid argument");
    } else {
        lines_append(v.want, "%s", r.line);
    }
    said_by(v.got, t);
    verdict_judge(v);
}

enum class refusal : uint8_t { offline, outside, absent, mask };

void refuses(sweep_run &r, refusal why, int cpu, std::span<verdict> verdicts) {
    char what[64]{};
    switch (why) {
    case refusal::offline:
        snprintf(what, sizeof what, "offline CPU %d", cpu);
        break;
    case refusal::outside:
        snprintf(what, sizeof what, "CPU %d, outside the cpuset", cpu);
        break;
    case refusal::absent:
        snprintf(what, sizeof what, "CPU %d, past the possible CPUs", cpu);
        break;
    case refusal::mask:
        snprintf(what, sizeof what, "CPU %d, past the most a mask holds", cpu);
        break;
    }
    int status = 0;
    const bool ran = corehop_refuses(r, verdicts[0], what, cpu, status);
    corenest_refuses(r, verdicts[1], what, cpu, ran, status);
}

void refuses_offline(void *context, int cpu, std::span<verdict> verdicts) {
    refuses(*static_cast<sweep_run *>(context), refusal::offline, cpu, verdicts);
}

void refuses_outside(void *context, int cpu, std::span<verdict> verdicts) {
    refuses(*static_cast<sweep_run *>(context), refusal::outside, cpu, verdicts);
}

void refuses_absent(void *context, int cpu, std::span<verdict> verdicts) {
    refuses(*static_cast<sweep_run *>(context), refusal::absent, cpu, verdicts);
}

void refuses_mask(void *context, int cpu, std::span<verdict> verdicts) {
    refuses(*static_cast<sweep_run *>(context), refusal::mask, cpu, verdicts);
}

// The end of the parker: it still sleeps, and SIGTERM ends it.
void end_parker(void *context, int /*argument*/, std::span<verdict> verdicts) {
    auto &r = *static_cast<sweep_run *>(context);
    verdict_name(verdicts[0], "the parker still sleeps");
    verdict_name(verdicts[1], "the parker ends on SIGTERM");
    if (!r.hotplug.parked) {
        verdict_skip(verdicts[0], "no parker");
        verdict_skip(verdicts[1], "no parker");
        return;
    }
    char name[64]{};
    char state = '\0';
    unseen seen = state_of(r.parker.pid, name, state);
    // (woken once a second, it may be caught running)
    const long long deadline = now_ms() + 1000;
    while (!is_unseen(seen) && state != 'S' && now_ms() < deadline) {
        seen = nap(10);
        if (!is_unseen(seen)) {
            seen = state_of(r.parker.pid, name, state);
        }
    }
    if (is_unseen(seen) && !task_gone(seen)) {
        verdict_unseen(verdicts[0], seen);
    } else {
        const char state_text[2] = {state, '\0'};
        lines_add(verdicts[0].want, "(corenest) S");
        lines_add(verdicts[0].got, "%s %s", name[0] != '\0' ? name : "gone", state_text);
        verdict_judge(verdicts[0]);
    }
    kill(r.parker.pid, SIGTERM);
    const tool_result &t = finish_child(r.parker, BOUND_SECONDS * 1000);
    if (is_unseen(t.hindrance)) {
        verdict_unseen(verdicts[1], t.hindrance);
        return;
    }
    lines_add(verdicts[1].want, "status 143");
    lines_add(verdicts[1].got, "status %d", t.status);
    verdict_judge(verdicts[1]);
}

// The CPUs a task may use here: the online ones within the cpuset; why not,
// where they cannot be read.
unseen find_usable(sweep_run &r) {
    unseen u = read_cpus("/sys/devices/system/cpu/possible", r.possible_text, r.possible);
    if (!is_unseen(u)) {
        u = read_cpus("/sys/devices/system/cpu/online", r.online_text, r.online);
    }
    if (is_unseen(u)) {
        return u;
    }
    r.usable = r.online;
    cpu_list cpuset{};
    bool found = false;
    r.cpuset_unseen = find_cpuset(r.cpuset, r.cpuset_file, found);
    r.cpuset_known = found && cpu_list_parse(r.cpuset, cpuset);
    if (r.cpuset_known) {
        r.usable = cpu_list_both(r.online, cpuset);
    }
    cpu_list_format(r.usable, r.usable_text);
    return {};
}

// Where no cpuset can be read: the diagnostic, with the cause where a read
// failed.
void cpuset_note(const sweep_run &r, lines &note) {
    if (is_unseen(r.cpuset_unseen)) {
        lines_add(note, "no cpuset can be read here (%s: %s)", r.cpuset_unseen.subject,
                  strerror(r.cpuset_unseen.error));
    } else {
        lines_add(note, "no cpuset can be read here");
    }
}

// /proc is this PID namespace's: it shows this process under its own pid.
unseen proc_is_mine() {
    long seen = -1;
    const unseen u = proc_self(seen);
    if (is_unseen(u) || seen == getpid()) {
        return u;
    }
    return unseen_said("/proc/self", 0,
                       "/proc is another PID namespace's: it shows this process as %ld, not as %d",
                       seen, getpid());
}

// corehop and corenest beside this program (run as argv0), else on PATH,
// that can be run, and a /proc that shows their pids as they are.
unseen find_tools(sweep_run &r, const char *argv0) {
    static char here[PATH_TEXT_MAX];
    folder_of(argv0, here);
    if (!find_tool(here, "corehop", r.corehop) || !find_tool(here, "corenest", r.corenest)) {
        return unseen_said("PATH", ENOENT, "no corehop and corenest beside %s or on PATH",
                           argv0[0] != '\0' ? argv0 : "corehop-sweep");
    }
    for (const char *tool : {r.corehop, r.corenest}) {
        if (access(tool, X_OK) != 0) {
            return unseen_said(tool, errno, "%s cannot be run here (%s)", tool, strerror(errno));
        }
    }
    return proc_is_mine();
}

// The first CPU of cpus that is not own_single, the process's only CPU
// (-1: it has more); -1 where there is none.
int park_choice(const cpu_list &cpus, int own_single) {
    const int first = cpu_list_next(cpus, -1);
    return first != own_single ? first : cpu_list_next(cpus, first);
}

// The parker parks on a CPU a task may use, not one moved to where it can
// (then every move changes its CPU), and not this process's only CPU: it
// starts on this process's CPUs, so that only its own pin leaves it on the
// one CPU. Where the cpuset cannot be read, on one of this process's CPUs,
// which the kernel lets it use.
unseen choose_park_cpu(sweep_run &r) {
    cpu_list own{};
    const unseen u = own_cpus(own);
    if (is_unseen(u)) {
        return u;
    }
    r.own_single = cpu_list_count(own) == 1 ? cpu_list_next(own, -1) : -1;
    cpu_list pool = r.usable;
    if (!r.cpuset_known && cpu_list_count(cpu_list_both(r.usable, own)) > 0) {
        pool = cpu_list_both(r.usable, own);
    }
    r.park_cpu = park_choice(cpu_list_but(pool, r.moves), r.own_single);
    if (r.park_cpu < 0) {
        r.park_cpu = park_choice(pool, r.own_single);
    }
    if (r.park_cpu < 0) {
        r.park_cpu = cpu_list_next(pool, -1);
    }
    return {};
}

void header(const sweep_run &r, const sweep_given &given, lines &h) {
    lines_add(h, "possible %s, online %s, cpuset %s", r.possible_text, r.online_text,
              r.cpuset_known ? r.cpuset : "unknown");
    if (r.cpuset_known) {
        lines_add(h, "the cpuset of %s", r.cpuset_file);
    } else {
        cpuset_note(r, h);
        lines_append(h, ": a task may use the online CPUs");
    }
    static char moved[CPU_LIST_TEXT_MAX];
    cpu_list_format(r.moves, moved);
    lines_add(h, "a task may use %s; moved to %s", r.usable_text,
              moved[0] != '\0' ? moved : "none");
    lines_add(h, "corehop %s, corenest %s", r.corehop, r.corenest);
    if (given.no_reaper != nullptr) {
        lines_add(h, "what a tool leaves in a session of its own cannot be ended here: %s",
                  given.no_reaper);
    }
}

// Each range's first CPU and last, as checks of run.
size_t add_ends(std::span<check> checks, size_t n, const cpu_list &cpus,
                void (*run)(void *, int, std::span<verdict>), sweep_run &r) {
    for (int cpu = cpu_list_next(cpus, -1); cpu >= 0;) {
        const int end = cpu_list_run_end(cpus, cpu);
        checks[n++] = check{.run = run, .context = &r, .argument = cpu, .verdicts = 2};
        if (end != cpu) {
            checks[n++] = check{.run = run, .context = &r, .argument = end, .verdicts = 2};
        }
        cpu = cpu_list_next(cpus, end);
    }
    return n;
}

size_t add_each(std::span<check> checks, size_t n, const cpu_list &cpus,
                void (*run)(void *, int, std::span<verdict>), sweep_run &r) {
    for (int cpu = cpu_list_next(cpus, -1); cpu >= 0; cpu = cpu_list_next(cpus, cpu)) {
        checks[n++] = check{.run = run, .context = &r, .argument = cpu, .verdicts = 1};
    }
    return n;
}

// The checks, in order: corehop moves itself to each CPU moved to while the
// parker pins itself; the parker's moves, its own CPU last, so that every
// move changes its CPU; the CPUs of -c that a task may not use; of each
// range of CPUs that must refuse its first and its last; -H; the parker's
// end.
size_t list_checks(sweep_run &r, const sweep_asks &asks, std::span<check> checks) {
    const cpu_list offline = cpu_list_but(r.possible, r.online);
    const cpu_list outside = cpu_list_but(r.online, r.usable);
    size_t n = add_each(checks, 0, r.moves, moves_itself, r);
    checks[n++] = check{.run = wait_parked, .context = &r, .argument = 0, .verdicts = 1};
    cpu_list last{};
    if (cpu_list_has(r.moves, r.park_cpu)) {
        cpu_list_add(last, r.park_cpu, r.park_cpu);
    }
    const cpu_list others = cpu_list_but(r.moves, last);
    n = add_each(checks, n, others, moves_parker, r);
    n = add_each(checks, n, last, moves_parker, r);
    if (asks.listed) {
        n = add_each(checks, n, cpu_list_but(asks.list, r.possible), unusable_absent, r);
        n = add_each(checks, n, cpu_list_both(asks.list, offline), unusable_offline, r);
        n = add_each(checks, n, cpu_list_both(asks.list, outside), unusable_outside, r);
    }
    n = add_ends(checks, n, offline, refuses_offline, r);
    n = add_ends(checks, n, outside, refuses_outside, r);
    const int absent = cpu_list_last(r.possible) + 1;
    if (absent < CPU_LIST_CPUS) {
        checks[n++] =
            check{.run = refuses_absent, .context = &r, .argument = absent, .verdicts = 2};
    }
    checks[n++] =
        check{.run = refuses_mask, .context = &r, .argument = CPU_LIST_CPUS, .verdicts = 2};
    if (asks.hotplug) {
        checks[n++] =
            check{.run = hotplug_checks, .context = &r.hotplug, .argument = 0, .verdicts = 3};
    }
    checks[n++] = check{.run = end_parker, .context = &r, .argument = 0, .verdicts = 2};
    return n;
}

// Starts the parker on its CPU; why not, where it cannot.
void start_parker(sweep_run &r) {
    static char park_text[16];
    snprintf(park_text, sizeof park_text, "%d", r.park_cpu);
    const char *const args[] = {r.corenest, "-n", park_text, nullptr};
    r.park_failure = start_tool(r.parker, r.corenest, args);
    r.hotplug.parker = r.parker.pid;
}

} // namespace

int sweep(const sweep_given &given) {
    sweep_run &r = the_sweep();
    unseen u = find_usable(r);
    if (is_unseen(u) && given.asks.list_only) {
        complain("%s", u.text);
        return 4;
    }
    if (is_unseen(u)) {
        return skip_all(u.text);
    }
    if (given.asks.list_only) {
        if (!r.cpuset_known) {
            static lines note;
            cpuset_note(r, note);
            const std::string_view said = line_of(note, 0);
            complain("%.*s: the online CPUs", static_cast<int>(said.size()), said.data());
        }
        static text list;
        text_set(list, "%s\n", r.usable_text);
        return put(view(list)) ? 0 : 1;
    }
    if (cpu_list_count(r.usable) == 0) {
        static text why;
        text_set(why, "no CPU a task may use here: online %s, cpuset %s", r.online_text, r.cpuset);
        return skip_all(why.s);
    }
    u = find_tools(r, given.argv0);
    r.moves = given.asks.listed ? cpu_list_both(r.usable, given.asks.list) : r.usable;
    if (!is_unseen(u)) {
        u = choose_park_cpu(r);
    }
    if (is_unseen(u)) {
        return skip_all(u.text);
    }
    r.hotplug = hotplug_plan{.corehop = r.corehop,
                             .parker = -1,
                             .parked = false,
                             .moves = r.moves,
                             .online = r.online,
                             .why = nullptr};
    static text hotplug_why;
    if (given.descriptors < DESCRIPTORS_HOTPLUG) {
        text_set(hotplug_why, "the limit on descriptors (RLIMIT_NOFILE) is %ld: -H needs %d",
                 given.descriptors, DESCRIPTORS_HOTPLUG);
        r.hotplug.why = hotplug_why.s;
    }
    static lines head;
    header(r, given, head);
    static check checks[(4 * CPU_LIST_CPUS) + 16];
    const size_t count = list_checks(r, given.asks, checks);
    start_parker(r);
    return run_checks(std::span(checks).first(count), head);
}
