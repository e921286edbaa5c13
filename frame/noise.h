// SPDX-License-Identifier: MIT
// What disturbs a CPU, as the kernel's per-CPU counters say it: the text of
// /proc/interrupts and /proc/softirqs (a header of CPU columns, then a line
// a source), of /proc/stat (each CPU's busy and idle time) and of
// /proc/schedstat (each CPU's time tasks waited to run there); what kind of
// source a line is; and the rule by which a CPU stayed quiet over a window.
#pragma once

#include "cpu_list.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The header of /proc/interrupts or /proc/softirqs: the CPU of each column
// into column_cpu, the CPUs into cpus; the number of columns, or -1 where it
// is no header (or has more columns than column_cpu holds).
int counters_header(std::string_view line, std::span<int32_t> column_cpu, cpu_list &cpus);

// One line of /proc/interrupts or /proc/softirqs: its name ("25", "LOC",
// "RCU"), its counts, a column each, into counts, and what follows them (the
// chip, the hardware number and type, the handler's name; or what it is,
// "Local timer interrupts"), its blanks around trimmed. False where it is no
// line of columns columns (a line of a single count, as ERR: and MIS: are).
struct counter_line {
    std::string_view name;
    std::string_view rest;
};
bool counters_line(std::string_view line, std::span<uint64_t> counts, counter_line &read);

// The name of the handler of a numbered line's rest ("IO-APIC 2-edge
// timer": "timer"): what follows its last run of two blanks, or all of it.
std::string_view interrupt_handler(std::string_view rest);

// What a line of /proc/interrupts counts: the local timer (the tick), a
// per-CPU source no affinity moves (an IPI, the PMU, a line of the CPU's
// own: NMI, CAL, s390's classes), or a device's interrupt, a numbered line
// whose binding may be set. Each architecture's local timer stands in one
// table: LOC on x86 and powerpc, arch_timer on arm64 and arm, riscv-timer
// on riscv64, CLK (the clock comparator) on s390x.
enum class interrupt_kind : uint8_t { local_timer, per_cpu, device };
interrupt_kind interrupt_kind_of(std::string_view name, std::string_view rest);

// A CPU's line of /proc/stat ("cpu3 user nice system idle iowait ..."): the
// CPU, and its idle time (idle and iowait) and all its time, in the clock
// ticks of USER_HZ. False where the line is none of one CPU.
struct cpu_times {
    int32_t cpu;
    uint64_t idle;
    uint64_t total;
};
bool cpu_times_parse(std::string_view line, cpu_times &times);

// A CPU's line of /proc/schedstat ("cpu3 ... RUN WAIT SLICES"): the CPU, and
// the nanoseconds tasks waited to run there. False where it is none.
bool cpu_wait_parse(std::string_view line, int32_t &cpu, uint64_t &wait_ns);

// Whether a CPU was busy for a whole window of seconds: its idle time grew
// by under a tenth of it (ticks of clock_ticks a second).
bool busy_all_window(uint64_t idle_ticks, double seconds, long clock_ticks);
// Whether the tick came back: more than one local timer interrupt a second.
bool tick_runs(uint64_t ticks, double seconds);
