// SPDX-License-Identifier: MIT
// corehop-sweep -i -w SECONDS: what disturbs the isolated CPUs over a window,
// from the kernel's per-CPU counters that any user may read: the interrupts
// each took (/proc/interrupts), its softirqs (/proc/softirqs), its busy and
// idle time (/proc/stat), the time tasks waited to run there
// (/proc/schedstat), read at the start and the end of the window. The audit
// sleeps through it on a housekeeping CPU, its own thread's affinity the one
// thing it sets, and reads nothing that sends a CPU an interrupt.
#pragma once

#include "cpu_list.h"
#include "text.h"

#include <span>

// What the window measures: its seconds, the isolated CPUs online (each a
// check), the housekeeping CPUs (the possible ones not isolated), the
// tickless ones, and those online.
struct window_plan {
    int seconds;
    cpu_list checked;
    cpu_list housekeeping;
    cpu_list nohz;
    cpu_list online;
};

// The check of one isolated CPU, in the runner's way (its argument the CPU):
// it stayed quiet. The first measures the window for all.
void window_check(void *context, int cpu, std::span<verdict> verdicts);
