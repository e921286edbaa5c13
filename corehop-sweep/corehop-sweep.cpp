// SPDX-License-Identifier: MIT
// corehop-sweep: checks a whole machine with corehop and corenest: every CPU a
// task may use here takes a parked task, and every other CPU refuses. Reports
// in KTAP on standard output.
//
//   corehop-sweep [-c LIST] [-H]
//   corehop-sweep -i [-w SECONDS]
//   corehop-sweep -l
//
// Exit status: 0 every check passed, 1 a check failed or the report could not
// be written, 4 nothing could be checked, 2 a bad command line, 128+N signal N.
// It runs corehop and corenest, beside it or else on PATH, as separate
// processes, and reads /proc and /sys; what it cannot read or start makes the
// check that needed it a skip that says why, never a verdict. The run ends
// here, or on the signal path alone.

#include "audit.h"
#include "lifetime.h"
#include "moves.h"
#include "report.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char *const USAGE = "usage: corehop-sweep [-c LIST] [-H]\n"
                          "       corehop-sweep -i [-w SECONDS]\n"
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
    "  -w SECONDS  with -i, also what disturbs each isolated CPU over a window\n"
    "           of SECONDS, 1 to 3600\n"
    "  -l       print the CPUs a task may use here, and exit\n"
    "  -h       print this help, and exit\n"
    "Exit status: 0 all passed, 1 a check failed or the report could not be\n"
    "written, 2 a bad command line, 4 nothing could be checked, 128+N ended by\n"
    "signal N.\n";

// The command line.
struct options {
    sweep_asks asks;
    bool audit;
    int window;
    bool help;
};

// The seconds of -w: 1 to 3600, in decimal digits alone; 0 where it is no
// such number.
int window_seconds(const char *text) {
    int seconds = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || seconds > 3600) {
            return 0;
        }
        seconds = (seconds * 10) + (*c - '0');
    }
    return seconds <= 3600 ? seconds : 0;
}

// Reads the command line into o; false, with what is wrong in why, where
// it is bad.
bool read_options(int argc, char *argv[], options &o, text &why) {
    opterr = 0;
    for (int option = getopt(argc, argv, "+:c:Hilhw:"); option != -1;
         option = getopt(argc, argv, "+:c:Hilhw:")) {
        switch (option) {
        case 'c':
            if (!cpu_list_parse(optarg, o.asks.list)) {
                text_set(why, "-c takes a list of CPUs 0 to 8191, such as 0-3,64: '%s'", optarg);
                return false;
            }
            o.asks.listed = true;
            break;
        case 'H':
            o.asks.hotplug = true;
            break;
        case 'i':
            o.audit = true;
            break;
        case 'l':
            o.asks.list_only = true;
            break;
        case 'w':
            o.window = window_seconds(optarg);
            if (o.window == 0) {
                text_set(why, "-w takes a number of seconds, 1 to 3600: '%s'", optarg);
                return false;
            }
            break;
        case 'h':
            o.help = true;
            return true;
        case ':':
            text_set(why, "-%c needs a value", static_cast<char>(optopt));
            return false;
        default:
            text_set(why, "unknown option -%c", static_cast<char>(optopt));
            return false;
        }
    }
    if (optind < argc) {
        text_set(why, "no operands: '%s'", argv[optind]);
        return false;
    }
    if (o.audit && (o.asks.listed || o.asks.hotplug || o.asks.list_only)) {
        text_set(why, "-i takes no other option but -w");
        return false;
    }
    if (o.window > 0 && !o.audit) {
        text_set(why, "-w goes with -i");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    const unseen report = open_report();
    static options o;
    static text why;
    if (!read_options(argc, argv, o, why)) {
        complain("%s", why.s);
        fprintf(stderr, "%s", USAGE);
        return 2;
    }
    if (is_unseen(report)) {
        complain("the report cannot be written on standard output: %s", report.text);
        return 1;
    }
    if (o.help) {
        end_run(put(USAGE) && put(HELP) ? 0 : 1);
    }
    const run_start start = begin_run();
    // (the audit needs as many descriptors as -H)
    if (o.audit && start.descriptors < DESCRIPTORS_HOTPLUG) {
        text_set(why, "the limit on descriptors (RLIMIT_NOFILE) is %ld: -i needs %d",
                 start.descriptors, DESCRIPTORS_HOTPLUG);
        end_run(skip_all(why.s));
    }
    if (start.descriptors < DESCRIPTORS_LEAST) {
        text_set(why, "the limit on descriptors (RLIMIT_NOFILE) is %ld: the sweep needs %d",
                 start.descriptors, DESCRIPTORS_LEAST);
        if (o.asks.list_only) {
            complain("%s", why.s);
            end_run(4);
        }
        end_run(skip_all(why.s));
    }
    if (o.audit) {
        end_run(audit(o.window));
    }
    end_run(sweep(
        sweep_given{.asks = o.asks,
                    .argv0 = argc > 0 && argv[0] != nullptr ? argv[0] : "",
                    .descriptors = start.descriptors,
                    .no_reaper = is_unseen(start.no_reaper) ? start.no_reaper.text : nullptr}));
}
