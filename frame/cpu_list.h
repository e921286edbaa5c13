// SPDX-License-Identifier: MIT
// CPU lists in the kernel's format (0-3,8,10-11, and strides: 0-7:2/4 is the
// first 2 CPUs of each 4 from 0 to 7), read and written over a set that holds
// every CPU number the kernel can be built for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The CPUs a list holds: 0 to 8191.
inline constexpr int32_t CPU_LIST_CPUS = 8192;
// The longest text of a list of those CPUs, with its terminating NUL: ranges
// of two with one CPU between ("0-1,3-4,...") take the most, at most 10
// characters for each 3 CPUs.
inline constexpr size_t CPU_LIST_TEXT_MAX = size_t{28} * 1024;

struct cpu_list {
    uint64_t words[CPU_LIST_CPUS / 64];
};

// Reads text, a list in the kernel's format whose ranges may come in any
// order, repeat and overlap, into list. False, with list unchanged, unless
// it is one: an empty text or item, a range whose end comes before its start,
// a CPU past 8191, a stride that takes none or more than its group.
bool cpu_list_parse(std::string_view text, cpu_list &list);

// Writes the list as the kernel does (ascending, runs joined: "0-3,8"), with
// a terminating NUL, into text, which must hold CPU_LIST_TEXT_MAX bytes or
// the list's length; an empty list is "". Returns the text's length.
size_t cpu_list_format(const cpu_list &list, std::span<char> text);

bool cpu_list_has(const cpu_list &list, int32_t cpu);
// Adds the CPUs from first to last, both within 0 to 8191.
void cpu_list_add(cpu_list &list, int32_t first, int32_t last);
// The CPUs in both lists, and those of a that b lacks.
cpu_list cpu_list_both(const cpu_list &a, const cpu_list &b);
cpu_list cpu_list_but(const cpu_list &a, const cpu_list &b);
int32_t cpu_list_count(const cpu_list &list);
// The first CPU of the list after cpu (-1: from the start), or -1 at its end.
int32_t cpu_list_next(const cpu_list &list, int32_t cpu);
// The last CPU of the list, or -1 when it is empty.
int32_t cpu_list_last(const cpu_list &list);
// The end of the run of consecutive CPUs of the list that starts at cpu.
int32_t cpu_list_run_end(const cpu_list &list, int32_t cpu);
