// SPDX-License-Identifier: MIT
// with_policy: runs a command under a real-time scheduling policy, for the
// VM suite's guests, whose busybox has no chrt.
//
//   with_policy fifo COMMAND...       SCHED_FIFO at priority 10
//   with_policy deadline COMMAND...   SCHED_DEADLINE: 1 ms of every 100 ms

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The kernel's struct sched_attr, as sched_setattr(2) takes it, under a name
// of its own: a C library may declare the kernel's (glibc does from 2.41, with
// a wrapper that older ones lack).
struct policy_attr {
    uint32_t size;
    uint32_t sched_policy;
    uint64_t sched_flags;
    int32_t sched_nice;
    uint32_t sched_priority;
    uint64_t sched_runtime;
    uint64_t sched_deadline;
    uint64_t sched_period;
};

constexpr int FIFO_PRIORITY = 10;
constexpr uint64_t DEADLINE_RUNTIME_NS = 1000000;
constexpr uint64_t DEADLINE_PERIOD_NS = 100000000;

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3) {
        fprintf(stderr, "usage: with_policy fifo|deadline COMMAND...\n");
        return 2;
    }
    long result = -1;
    if (strcmp(argv[1], "fifo") == 0) {
        sched_param param{};
        param.sched_priority = FIFO_PRIORITY;
        result = sched_setscheduler(0, SCHED_FIFO, &param);
    } else if (strcmp(argv[1], "deadline") == 0) {
        policy_attr attr{};
        attr.size = sizeof attr;
        attr.sched_policy = SCHED_DEADLINE;
        attr.sched_flags = 0;
        attr.sched_nice = 0;
        attr.sched_priority = 0;
        attr.sched_runtime = DEADLINE_RUNTIME_NS;
        attr.sched_deadline = DEADLINE_PERIOD_NS;
        attr.sched_period = DEADLINE_PERIOD_NS;
        result = syscall(SYS_sched_setattr, 0, &attr, 0);
    } else {
        fprintf(stderr, "usage: with_policy fifo|deadline COMMAND...\n");
        return 2;
    }
    if (result == -1) {
        fprintf(stderr, "with_policy: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    execvp(argv[2], &argv[2]);
    fprintf(stderr, "with_policy: %s: %s\n", argv[2], strerror(errno));
    return 127;
}
