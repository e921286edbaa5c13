// SPDX-License-Identifier: MIT
// corehop-sweep -H: a CPU moved to goes offline under the parker and comes
// back, in three checks. Nothing outside the sweep may lose a binding for
// good: the CPU is one that no user task and no interrupt may use alone,
// and, under cgroup v1, that no cpuset but the root one holds, as a mount of
// the hierarchy of its own shows it; else the checks skip, naming what holds
// it. What cannot be seen (a file that cannot be read, a task /proc hides)
// makes them skip too. A guard brings the CPU back should the run die.
#pragma once

#include "cpu_list.h"
#include "text.h"

#include <span>

// What the checks need: corehop, the parker (pid -1 where none started,
// parked once it pinned itself), the CPUs moved to and online, and the
// reason they skip before anything, if there is one.
struct hotplug_plan {
    const char *corehop;
    long parker;
    bool parked;
    cpu_list moves;
    cpu_list online;
    const char *why;
};

// The three checks, in the runner's way: the parker lives on as the CPU
// goes offline; corehop refuses to move it back there; and moves it back
// once the CPU is online again. The CPU is online again before they end.
void hotplug_checks(void *plan, int argument, std::span<verdict> verdicts);
