// SPDX-License-Identifier: MIT
// corehop: moves a task onto exactly one CPU, reads its affinity back and
// prints whether the kernel now reports exactly that CPU.
//
//   corehop -c CPU -p TID
//
// Exit status: 0 pass, 255 fail, 2 bad command line, 1 when the pass line
// could not be written.

#include "command_line.h"
#include "cpu_mask.h"
#include "verdict.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>

int main(int argc, char *argv[]) {
    int32_t cpu = NOT_GIVEN;
    int32_t task = NOT_GIVEN;
    int32_t *const values[] = {&cpu, &task};
    const char *const name = scan_command_line(argc, argv, "corehop", "c:p:?", values);

    char line[VERDICT_LINE_MAX];
    const cpu_mask requested = make_single_cpu_mask(cpu);
    if (sched_setaffinity(task, single_cpu_mask_bytes(cpu), requested.sets) == -1) {
        move_fail_line(line, task, cpu);
        return print_verdict(name, FAIL_STATUS, "%s\n", line);
    }

    cpu_mask actual{};
    if (read_affinity(task, actual) == -1) {
        move_read_fail_line(line, task, cpu, strerror(errno));
        return print_verdict(name, FAIL_STATUS, "%s\n", line);
    }

    if (!masks_equal(requested, actual)) {
        move_fail_line(line, task, cpu);
        return print_verdict(name, FAIL_STATUS, "%s\n", line);
    }
    move_pass_line(line, task, cpu);
    return print_verdict(name, PASS_STATUS, "%s\n", line);
}
