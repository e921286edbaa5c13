// SPDX-License-Identifier: MIT
// corehop-sweep: checks a whole machine with corehop and corenest: every CPU a
// task may use here takes a parked task, and every other CPU refuses. Reports
// in KTAP on standard output.
//
//   corehop-sweep [-c LIST] [-H]
//   corehop-sweep -i
//   corehop-sweep -l
//
// Exit status: 0 every check passed, 1 a check failed or the report could not
// be written, 4 nothing could be checked, 2 a bad command line, 128+N signal N.
// It runs corehop and corenest, beside it or else on PATH, as separate
// processes, and reads /proc and /sys; what it cannot read or start makes the
// check that needed it a skip that says why, never a verdict.

#include "cpu_list.h"
#include "cpu_mask.h"
#include "sweep.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const char *const USAGE = "usage: corehop-sweep [-c LIST] [-H]\n"
                          "       corehop-sweep -i\n"
                          "       corehop-sweep -l\n";
const char *const HELP =
    "Checks with corehop and corenest that each CPU a task may use here (the online\n"
    "CPUs of this cgroup's cpuset) takes a parked task, and that other CPUs refuse;\n"
    "reports in KTAP.\n"
    "  -c LIST  move only to these CPUs (the kernel's list format, such as 0-3,64\n"
    "           or 0-7:2/4)\n"
    "  -H       also take a CPU offline under the parker and bring it back (root)\n"
    "  -i       audit instead the CPUs the machine isolates: only what was put\n"
    "           there runs there, and the kernel command line is in effect\n"
    "  -l       print the CPUs a task may use here, and exit\n"
    "  -h       print this help, and exit\n"
    "Exit status: 0 all passed, 1 a check failed, 4 nothing could be checked,\n"
    "2 a bad command line.\n";
const char *const UNKNOWN_REASON =
    "the kernel refuses it: this task's cpuset, which cannot be read here, may not hold it";

// Everything one run knows.
struct run {
    sweep s{};
    cpu_list possible{};
    cpu_list online{};
    cpu_list usable{};
    cpu_list moves{};
    char possible_text[CPU_LIST_TEXT_MAX]{};
    char online_text[CPU_LIST_TEXT_MAX]{};
    char cpuset[CPU_LIST_TEXT_MAX]{};
    char cpuset_file[PATH_TEXT_MAX]{};
    bool cpuset_known{};
    int cpuset_error{}; // the errno of a read of the cpuset that failed, its file in cpuset_file
    char usable_text[CPU_LIST_TEXT_MAX]{};
    char corehop[PATH_TEXT_MAX]{};
    char corenest[PATH_TEXT_MAX]{};
    int park_cpu{};
    int own_single{}; // this process's only CPU, or -1
    bool parked{};
    text park_failure{};            // why the parker could not start
    char seen[CPU_LIST_TEXT_MAX]{}; // the parker's CPUs as the last check saw them
    char cpus[CPU_LIST_TEXT_MAX]{};
    text what{};
    text got{};
    text want{};
    text line{};
};

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
[[noreturn, gnu::format(printf, 1, 2)]] void bad_usage(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    complain_v(format, arguments);
    va_end(arguments);
    fprintf(stderr, "%s", USAGE);
    exit(2);
}

// The kernel refused CPU where the cpuset cannot be read: it may lie outside.
bool unknown_refusal(run &r, int cpu, pid_t task) {
    fail_line(r.line, task, cpu);
    return !r.cpuset_known && r.s.status == 255 && strcmp(r.s.out, r.line.s) == 0;
}

// corehop moves its own thread to CPU; the evidence is its own read-back
// alone, which the sweep cannot see.
void moves_itself(run &r, int cpu) {
    text_set(r.what, "corehop moves itself to CPU %d, by its own read-back", cpu);
    run_corehop(r.s, r.corehop, cpu, 0);
    if (unknown_refusal(r, cpu, 0)) {
        skip(r.s, r.what.s, UNKNOWN_REASON);
        return;
    }
    pass_line(r.line, 0, cpu);
    text_set(r.want, "status 0: %s", r.line.s);
    text_set(r.got, "status %d: %s", r.s.status, r.s.out);
    result(r.s, r.what.s, r.got.s, r.want.s);
}

// 0 once the parker runs as corenest on CPU alone, 2 when it is gone (ended,
// whether or not waited for), 1 before; -1 where its files cannot be read
// (the check hindered).
int park_state(run &r) {
    char name[64]{};
    char state = '\0';
    const int seen = state_of(r.s, r.s.parker.pid, name, state);
    if (seen <= 0 || state == 'Z' || state == 'X') {
        return seen < 0 ? -1 : 2;
    }
    const int cpus = cpus_of(r.s, r.s.parker.pid, r.cpus);
    if (cpus <= 0) {
        return cpus < 0 ? -1 : 2;
    }
    char want[16]{};
    snprintf(want, sizeof want, "%d", r.park_cpu);
    return strcmp(name, "(corenest)") == 0 && strcmp(r.cpus, want) == 0 ? 0 : 1;
}

// The parker has pinned itself once it runs as corenest on its CPU alone,
// provided that it started on other CPUs too: until then it may be the sweep
// that starts it, or corenest before its pin, which would undo a move. That
// it sleeps proves nothing: it may sleep before its pin, while its program is
// read from a slow file system.
void wait_parked(run &r) {
    text_set(r.what, "corenest parks on CPU %d", r.park_cpu);
    if (r.s.parker.pid < 0) {
        skip(r.s, r.what.s, r.park_failure.s);
        return;
    }
    int state = park_state(r);
    for (int waited = 0; state == 1 && waited < BOUND_SECONDS * 1000; waited += 10) {
        nap(r.s, 10);
        state = park_state(r);
    }
    if (state == 0) {
        r.parked = true;
        snprintf(r.seen, sizeof r.seen, "%d", r.park_cpu);
        if (r.own_single == r.park_cpu) {
            text_set(r.line, "this process may use CPU %d alone: the pin cannot show", r.park_cpu);
            skip(r.s, r.what.s, r.line.s);
        } else {
            result(r.s, r.what.s, "parked", "parked");
        }
        return;
    }
    if (state == 2) {
        finish_child(r.s, r.s.parker, BOUND_SECONDS * 1000);
        text_set(r.got, "ended with status %d: %s", r.s.status, r.s.out);
    } else {
        text_set(r.got, "on CPUs %s after %d s", r.cpus, BOUND_SECONDS);
    }
    result(r.s, r.what.s, r.got.s, "parked");
}

// corehop moves the parker to CPU, and the kernel shows it there alone, where
// it was not.
void moves_parker(run &r, int cpu) {
    text_set(r.what, "corehop moves the parker to CPU %d", cpu);
    char cpu_text[16]{};
    snprintf(cpu_text, sizeof cpu_text, "%d", cpu);
    if (!r.parked) {
        skip(r.s, r.what.s, "no parker");
        return;
    }
    if (strcmp(r.seen, cpu_text) == 0) {
        if (strcmp(r.usable_text, cpu_text) == 0) {
            skip(r.s, r.what.s, "one CPU a task may use here: the move cannot show");
        } else {
            text_set(r.line, "the parker is on CPU %d alone already: the move cannot show", cpu);
            skip(r.s, r.what.s, r.line.s);
        }
        return;
    }
    if (run_corehop(r.s, r.corehop, cpu, r.s.parker.pid) &&
        cpus_of(r.s, r.s.parker.pid, r.cpus) >= 0) {
        if (unknown_refusal(r, cpu, r.s.parker.pid) && strcmp(r.cpus, r.seen) == 0) {
            skip(r.s, r.what.s, UNKNOWN_REASON);
            return;
        }
        snprintf(r.seen, sizeof r.seen, "%s", r.cpus);
    }
    pass_line(r.line, r.s.parker.pid, cpu);
    text_set(r.want, "status 0: %s; CPUs %d", r.line.s, cpu);
    text_set(r.got, "status %d: %s; CPUs %s", r.s.status, r.s.out, r.cpus);
    result(r.s, r.what.s, r.got.s, r.want.s);
}

// A CPU of -c that a task may not use.
void unusable(run &r, const cpu_list &cpus, const char *why) {
    for (int cpu = cpu_list_next(cpus, -1); cpu >= 0; cpu = cpu_list_next(cpus, cpu)) {
        text_set(r.what, "corehop moves the parker to CPU %d", cpu);
        const char *const past =
            cpu > cpu_list_last(r.possible) ? "past the possible CPUs" : "not a possible CPU";
        text_set(r.line, "%s: a task may not use it", why != nullptr ? why : past);
        skip(r.s, r.what.s, r.line.s);
    }
}

enum class refusal : uint8_t { offline, outside, absent, mask };

// What must refuse CPU, for the reason.
void refusal_text(refusal why, int cpu, text &what) {
    switch (why) {
    case refusal::offline:
        text_set(what, "offline CPU %d", cpu);
        break;
    case refusal::outside:
        text_set(what, "CPU %d, outside the cpuset", cpu);
        break;
    case refusal::absent:
        text_set(what, "CPU %d, past the possible CPUs", cpu);
        break;
    case refusal::mask:
        text_set(what, "CPU %d, past the most a mask holds", cpu);
        break;
    }
}

// corehop refuses to move the parker to CPU, which keeps the CPUs last seen;
// where there is no parker, to move itself there, which its line and status
// alone show. True where it ran.
bool corehop_refuses(run &r, const text &what, int cpu) {
    const pid_t task = r.parked ? r.s.parker.pid : 0;
    static char before[CPU_LIST_TEXT_MAX];
    snprintf(before, sizeof before, "%s", r.seen);
    const bool ran = run_corehop(r.s, r.corehop, cpu, task);
    fail_line(r.line, task, cpu);
    text_set(r.want, "status 255: %s", r.line.s);
    text_set(r.got, "status %d: %s", r.s.status, r.s.out);
    if (r.parked && cpus_of(r.s, task, r.cpus) >= 0) {
        snprintf(r.seen, sizeof r.seen, "%s", r.cpus);
        text_set(r.want, "status 255: %s; CPUs %s", r.line.s, before);
        text_set(r.got, "status %d: %s; CPUs %s", r.s.status, r.s.out, r.cpus);
    }
    text_set(r.what, "corehop refuses %s", what.s);
    result(r.s, r.what.s, r.got.s, r.want.s);
    return ran;
}

// corenest refuses to park on CPU. It runs only where the kernel refused
// corehop: else it might park there for good.
void corenest_refuses(run &r, const text &what, int cpu, bool corehop_ran) {
    text_set(r.what, "corenest refuses %s", what.s);
    if (!corehop_ran) {
        skip(r.s, r.what.s, "not run, for corehop could not run: corenest might park there");
        return;
    }
    if (r.s.status != 255) {
        result(r.s, r.what.s, "not run, for corehop was not refused: corenest might park there",
               "refused");
        return;
    }
    char cpu_text[16]{};
    snprintf(cpu_text, sizeof cpu_text, "%d", cpu);
    const char *const args[] = {r.corenest, "-n", cpu_text, nullptr};
    run_tool(r.s, r.corenest, args);
    // the line names corenest's own pid, whatever it is
    char pid[24] = "PID";
    const char *const prefix = "Fail:Set thread ";
    if (strncmp(r.s.out, prefix, strlen(prefix)) == 0) {
        char *end = nullptr;
        const unsigned long number = strtoul(r.s.out + strlen(prefix), &end, 10);
        if (end != r.s.out + strlen(prefix) && *end == ' ') {
            snprintf(pid, sizeof pid, "%lu", number);
        }
    }
    text_set(r.want, "status 255: Fail:Set thread %s on CPU %d affinity failed, error: %s", pid,
             cpu, "Invalid argument");
    text_set(r.got, "status %d: %s", r.s.status, r.s.out);
    result(r.s, r.what.s, r.got.s, r.want.s);
}

void refuses(run &r, refusal why, int cpu) {
    static text what;
    refusal_text(why, cpu, what);
    corenest_refuses(r, what, cpu, corehop_refuses(r, what, cpu));
}

// Each range's first CPU and last.
void refuse_ends(run &r, const cpu_list &cpus, refusal why) {
    for (int cpu = cpu_list_next(cpus, -1); cpu >= 0;) {
        const int end = cpu_list_run_end(cpus, cpu);
        refuses(r, why, cpu);
        if (end != cpu) {
            refuses(r, why, end);
        }
        cpu = cpu_list_next(cpus, end);
    }
}

int ends_of(const cpu_list &cpus) {
    int count = 0;
    for (int cpu = cpu_list_next(cpus, -1); cpu >= 0;) {
        const int end = cpu_list_run_end(cpus, cpu);
        count += end == cpu ? 1 : 2;
        cpu = cpu_list_next(cpus, end);
    }
    return count;
}

// The end of the parker: it still sleeps, and SIGTERM ends it.
void end_parker(run &r) {
    if (!r.parked) {
        skip(r.s, "the parker still sleeps", "no parker");
        skip(r.s, "the parker ends on SIGTERM", "no parker");
        return;
    }
    char name[64]{};
    char state = '\0';
    int seen = state_of(r.s, r.s.parker.pid, name, state);
    // (woken once a second, it may be caught running)
    for (int waited = 0; seen > 0 && state != 'S' && waited < 1000; waited += 10) {
        nap(r.s, 10);
        seen = state_of(r.s, r.s.parker.pid, name, state);
    }
    const char state_text[2] = {state, '\0'};
    text_set(r.got, "%s %s", name[0] != '\0' ? name : "gone", state_text);
    result(r.s, "the parker still sleeps", r.got.s, "(corenest) S");
    kill(r.s.parker.pid, SIGTERM);
    finish_child(r.s, r.s.parker, BOUND_SECONDS * 1000);
    text_set(r.got, "status %d", r.s.status);
    result(r.s, "the parker ends on SIGTERM", r.got.s, "status 143");
}

// The first CPU of cpus that is not own_single, the process's only CPU
// (-1: it has more); -1 where there is none.
int park_choice(const cpu_list &cpus, int own_single) {
    const int first = cpu_list_next(cpus, -1);
    if (first != own_single) {
        return first;
    }
    return cpu_list_next(cpus, first);
}

// Reads a list of CPUs of /sys; else the reason, in why.
bool read_cpus(const char *path, std::span<char> text, cpu_list &cpus, run &r) {
    const int error = read_line(path, text);
    if (error != 0) {
        text_set(r.line, "%s cannot be read: %s", path, strerror(error));
        return false;
    }
    if (!cpu_list_parse(text.data(), cpus)) {
        text_set(r.line, "%s holds no list of CPUs: '%s'", path, text.data());
        return false;
    }
    return true;
}

// Where standard input, output or error is closed, /dev/null opened so that
// nothing else takes its number: read-only for output, which then cannot be
// written, so that a report lost is never a pass.
void hold_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY);
        }
    }
}

// /proc is this PID namespace's: it shows this process under its own pid.
// Else the reason, in r.line.
bool proc_is_mine(run &r) {
    char seen[64]{};
    const ssize_t n = readlink("/proc/self", seen, sizeof seen - 1);
    if (n < 0) {
        text_set(r.line, "/proc/self cannot be read: %s", strerror(errno));
        return false;
    }
    if (strtol(seen, nullptr, 10) != getpid()) {
        text_set(r.line, "/proc is another PID namespace's: it shows this process as %s, not as %d",
                 n > 0 ? seen : "nothing", getpid());
        return false;
    }
    return true;
}

// The command line.
struct options {
    bool list_only = false;
    bool audit = false;
    bool hotplug = false;
    bool listed = false;
    cpu_list list{};
};

options read_options(int argc, char *argv[], sweep &s) {
    options o;
    opterr = 0;
    for (int option = getopt(argc, argv, "+:c:Hilh"); option != -1;
         option = getopt(argc, argv, "+:c:Hilh")) {
        const char letter[2] = {static_cast<char>(optopt), '\0'};
        switch (option) {
        case 'c':
            if (!cpu_list_parse(optarg, o.list)) {
                bad_usage("-c takes a list of CPUs 0 to 8191, such as 0-3,64: '%s'", optarg);
            }
            o.listed = true;
            break;
        case 'H':
            o.hotplug = true;
            break;
        case 'i':
            o.audit = true;
            break;
        case 'l':
            o.list_only = true;
            break;
        case 'h':
            put(s, USAGE);
            put(s, HELP);
            _exit(confirm_report(s, 0));
        case ':':
            bad_usage("-%s needs a value", letter);
        default:
            bad_usage("unknown option -%s", letter);
        }
    }
    if (optind < argc) {
        bad_usage("no operands: '%s'", argv[optind]);
    }
    if (o.audit && (o.listed || o.hotplug || o.list_only)) {
        bad_usage("-i takes no other option");
    }
    return o;
}

// The limit on descriptors, as far as the sweep needs them: without enough,
// nothing can be checked (the audit needs as many as -H); the reason -H
// skips, where it lacks them, in why.
void check_limits(run &r, long descriptors, const options &o, text &why) {
    const bool list_only = o.list_only;
    if (o.audit && descriptors < DESCRIPTORS_HOTPLUG) {
        text_set(r.line, "the limit on descriptors (RLIMIT_NOFILE) is %ld: -i needs %d",
                 descriptors, DESCRIPTORS_HOTPLUG);
        skip_all(r.s, r.line.s);
    }
    text_set(r.line, "the limit on descriptors (RLIMIT_NOFILE) is %ld: the sweep needs %d",
             descriptors, DESCRIPTORS_LEAST);
    if (descriptors < DESCRIPTORS_LEAST && list_only) {
        complain("%s", r.line.s);
        end_sweep(r.s, 4);
    }
    if (descriptors < DESCRIPTORS_LEAST) {
        skip_all(r.s, r.line.s);
    }
    if (descriptors < DESCRIPTORS_HOTPLUG) {
        text_set(why, "the limit on descriptors (RLIMIT_NOFILE) is %ld: -H needs %d", descriptors,
                 DESCRIPTORS_HOTPLUG);
    }
}

// Where no cpuset can be read: the diagnostic, with the cause where a read
// failed.
void cpuset_note(run &r, text &note) {
    if (r.cpuset_error != 0) {
        text_set(note, "no cpuset can be read here (%s: %s)", r.cpuset_file,
                 strerror(r.cpuset_error));
    } else {
        text_set(note, "no cpuset can be read here");
    }
}

// The CPUs a task may use here: the online ones within the cpuset. With -l,
// prints them and ends.
void find_usable(run &r, bool list_only) {
    if (!read_cpus("/sys/devices/system/cpu/possible", r.possible_text, r.possible, r) ||
        !read_cpus("/sys/devices/system/cpu/online", r.online_text, r.online, r)) {
        if (list_only) {
            complain("%s", r.line.s);
            end_sweep(r.s, 4);
        }
        skip_all(r.s, r.line.s);
    }
    r.usable = r.online;
    cpu_list cpuset{};
    const cpuset_read read = find_cpuset(r.cpuset, r.cpuset_file);
    r.cpuset_error = read.error;
    r.cpuset_known = read.found && cpu_list_parse(r.cpuset, cpuset);
    if (r.cpuset_known) {
        r.usable = cpu_list_both(r.online, cpuset);
    }
    cpu_list_format(r.usable, r.usable_text);
    if (list_only) {
        if (!r.cpuset_known) {
            cpuset_note(r, r.what);
            complain("%s: the online CPUs", r.what.s);
        }
        out(r.s, "%s\n", r.usable_text);
        end_sweep(r.s, 0);
    }
    if (cpu_list_count(r.usable) == 0) {
        text_set(r.line, "no CPU a task may use here: online %s, cpuset %s", r.online_text,
                 r.cpuset);
        skip_all(r.s, r.line.s);
    }
}

// corehop and corenest beside this program (run as argv0), else on PATH,
// that can be run, and a /proc that shows their pids as they are.
void find_tools(run &r, const char *argv0) {
    static char here[PATH_TEXT_MAX];
    folder_of(argv0, here);
    if (!find_tool(here, "corehop", r.corehop) || !find_tool(here, "corenest", r.corenest)) {
        text_set(r.line, "no corehop and corenest beside %s or on PATH",
                 argv0[0] != '\0' ? argv0 : "corehop-sweep");
        skip_all(r.s, r.line.s);
    }
    for (const char *tool : {r.corehop, r.corenest}) {
        if (access(tool, X_OK) != 0) {
            text_set(r.line, "%s cannot be run here (%s)", tool, strerror(errno));
            skip_all(r.s, r.line.s);
        }
    }
    if (!proc_is_mine(r)) {
        skip_all(r.s, r.line.s);
    }
}
// What to check: the moves, the CPUs of -c that a task may not use, and of
// each range of CPUs that must refuse its first and its last.
struct checks {
    cpu_list offline;
    cpu_list outside;
    cpu_list not_possible;
    cpu_list listed_offline;
    cpu_list listed_outside;
    int absent;
    int plan;
};

checks plan_checks(run &r, const options &o) {
    checks c{};
    r.moves = o.listed ? cpu_list_both(r.usable, o.list) : r.usable;
    c.offline = cpu_list_but(r.possible, r.online);
    c.outside = cpu_list_but(r.online, r.usable);
    if (o.listed) {
        c.not_possible = cpu_list_but(o.list, r.possible);
        c.listed_offline = cpu_list_both(o.list, c.offline);
        c.listed_outside = cpu_list_both(o.list, c.outside);
    }
    c.absent = cpu_list_last(r.possible) + 1;
    c.plan =
        2 * cpu_list_count(r.moves) + 3 + cpu_list_count(c.not_possible) +
        cpu_list_count(c.listed_offline) + cpu_list_count(c.listed_outside) +
        2 * (ends_of(c.offline) + ends_of(c.outside) + (c.absent < CPU_LIST_CPUS ? 1 : 0) + 1) +
        (o.hotplug ? 3 : 0);
    return c;
}

// The CPUs this process may use, by the call that reads them, into own.
bool own_cpus(run &r, cpu_list &own) {
    static cpu_mask mask;
    if (read_affinity(0, mask) != 0) {
        text_set(r.line, "the CPUs of this process cannot be read: %s", strerror(errno));
        return false;
    }
    for (int cpu = 0; cpu < CPU_LIST_CPUS; ++cpu) {
        const auto index = static_cast<size_t>(cpu) / (8 * sizeof(cpu_set_t));
        const int bit = cpu % static_cast<int>(8 * sizeof(cpu_set_t));
        if (CPU_ISSET_S(bit, sizeof(cpu_set_t), &std::span(mask.sets)[index])) {
            cpu_list_add(own, cpu, cpu);
        }
    }
    return true;
}

// The parker parks on a CPU a task may use, not one moved to where it can
// (then every move changes its CPU), and not this process's only CPU: it
// starts on this process's CPUs, so that only its own pin leaves it on the
// one CPU. Where the cpuset cannot be read, on one of this process's CPUs,
// which the kernel lets it use.
void choose_park_cpu(run &r) {
    cpu_list own{};
    if (!own_cpus(r, own)) {
        skip_all(r.s, r.line.s);
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
}

void header(run &r, int plan) {
    out(r.s, "KTAP version 1\n");
    out(r.s, "1..%d\n", plan);
    out(r.s, "# possible %s, online %s, cpuset %s\n", r.possible_text, r.online_text,
        r.cpuset_known ? r.cpuset : "unknown");
    if (r.cpuset_known) {
        out(r.s, "# the cpuset of %s\n", r.cpuset_file);
    } else {
        cpuset_note(r, r.what);
        out(r.s, "# %s: a task may use the online CPUs\n", r.what.s);
    }
    cpu_list_format(r.moves, r.cpus);
    out(r.s, "# a task may use %s; moved to %s\n", r.usable_text,
        r.cpus[0] != '\0' ? r.cpus : "none");
    out(r.s, "# corehop %s, corenest %s\n", r.corehop, r.corenest);
}

void check(run &r, const checks &c, bool hotplug_asked, const char *hotplug_why) {
    // The parker starts first, and pins itself while corehop moves itself.
    char park_text[16]{};
    snprintf(park_text, sizeof park_text, "%d", r.park_cpu);
    const char *const park_args[] = {r.corenest, "-n", park_text, nullptr};
    if (!start_tool(r.s, r.s.parker, r.corenest, park_args)) {
        r.park_failure = r.s.hindrance;
        r.s.hindrance = text{};
    }
    for (int cpu = cpu_list_next(r.moves, -1); cpu >= 0; cpu = cpu_list_next(r.moves, cpu)) {
        moves_itself(r, cpu);
    }
    wait_parked(r);
    // (the parker's own CPU last: every move changes its CPU)
    for (int cpu = cpu_list_next(r.moves, -1); cpu >= 0; cpu = cpu_list_next(r.moves, cpu)) {
        if (cpu != r.park_cpu) {
            moves_parker(r, cpu);
        }
    }
    if (cpu_list_has(r.moves, r.park_cpu)) {
        moves_parker(r, r.park_cpu);
    }
    unusable(r, c.not_possible, nullptr);
    unusable(r, c.listed_offline, "offline");
    unusable(r, c.listed_outside, "outside the cpuset");
    refuse_ends(r, c.offline, refusal::offline);
    refuse_ends(r, c.outside, refusal::outside);
    if (c.absent < CPU_LIST_CPUS) {
        refuses(r, refusal::absent, c.absent);
    }
    refuses(r, refusal::mask, CPU_LIST_CPUS);
    if (hotplug_asked) {
        hotplug(r.s, r.corehop, r.moves, r.online, r.parked ? r.s.parker.pid : -1, r.seen,
                hotplug_why);
    }
    end_parker(r);
}

} // namespace

int main(int argc, char *argv[]) {
    hold_standard_descriptors();
    static run r;
    const options o = read_options(argc, argv, r.s);
    static text hotplug_why;
    check_limits(r, settle(r.s), o, hotplug_why);
    if (o.audit) {
        audit_isolation(r.s);
    }
    find_usable(r, o.list_only);
    find_tools(r, argc > 0 && argv[0] != nullptr ? argv[0] : "");
    const checks c = plan_checks(r, o);
    choose_park_cpu(r);
    header(r, c.plan);
    check(r, c, o.hotplug, hotplug_why.length > 0 ? hotplug_why.s : nullptr);
    if (r.s.failed > 0) {
        end_sweep(r.s, 1);
    }
    end_sweep(r.s, r.s.passed == 0 ? 4 : 0);
}
