// SPDX-License-Identifier: MIT
// The sweep: every CPU a task may use here takes a parked task, and every
// other CPU refuses, checked with corehop and corenest as separate
// processes, the kernel's word read after each act; with -H, a CPU goes
// offline under the parker and comes back.
#pragma once

#include "cpu_list.h"

// What the command line asks of the sweep: the CPUs of -c (listed), -H,
// and -l (the CPUs a task may use, printed alone).
struct sweep_asks {
    bool listed;
    cpu_list list;
    bool hotplug;
    bool list_only;
};

// What the sweep was given: what it asks, the name it was run as, the
// descriptors it may hold, and why what its tools leave cannot be ended,
// if it cannot.
struct sweep_given {
    sweep_asks asks;
    const char *argv0;
    long descriptors;
    const char *no_reaper;
};

// The sweep's report, or with -l the list alone: its status.
int sweep(const sweep_given &given);
