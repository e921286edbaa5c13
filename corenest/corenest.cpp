// SPDX-License-Identifier: MIT
// corenest: pins its own thread to one CPU and sleeps, a second at a time,
// until a signal ends it: a long-lived task on a known CPU for a test harness.
//
//   corenest -n CPU
//
// Prints nothing once pinned. Exit status: 255 when the pin fails, 2 for a
// bad command line; otherwise it is ended by a signal.

#include "command_line.h"
#include "cpu_mask.h"
#include "verdict.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
    int32_t cpu = NOT_GIVEN;
    int32_t *const values[] = {&cpu};
    const char *const name = scan_command_line(argc, argv, "corenest", "n:?", values);

    const cpu_mask mask = make_single_cpu_mask(cpu);
    if (sched_setaffinity(0, single_cpu_mask_bytes(cpu), mask.sets) == -1) {
        const char *const reason = strerror(errno);
        char line[VERDICT_LINE_MAX];
        park_fail_line(line, getpid(), cpu, reason);
        return print_verdict(name, FAIL_STATUS, "%s\n", line);
    }

    for (;;) {
        sleep(1);
    }
}
