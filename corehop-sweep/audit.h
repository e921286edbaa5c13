// SPDX-License-Identifier: MIT
// corehop-sweep -i: the audit of the machine's CPU isolation. The isolated
// CPUs are those the kernel reports isolated (isolcpus=), tickless
// (nohz_full=) or in isolated cgroup v2 partitions; the other possible CPUs
// are the housekeeping ones. It checks that the kernel command line's
// isolation is in effect, that new interrupts and unbound workqueues stay
// off the isolated CPUs, and, CPU by CPU, that no task and no interrupt that
// may use a housekeeping CPU may run there too; that no isolated partition
// is invalid and that the lockup watchdog stays off the isolated CPUs; and,
// over a window of seconds, what disturbs each isolated CPU meanwhile. It
// reads /proc and /sys alone: it writes nothing (but, with a window, its
// own thread's affinity), needs no root and starts no tool, and what it
// cannot see makes the checks that needed it skip, naming why.
#pragma once

// The audit's report, with a window of seconds (0: none): its status.
int audit(int seconds);
