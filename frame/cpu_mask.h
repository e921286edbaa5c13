// SPDX-License-Identifier: MIT
// The single-CPU affinity mask shared by the tools: room for every CPU number
// the kernel can be built for (8192), with at most one bit set, made of the
// platform's own CPU sets so that the affinity calls take it as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sched.h>
#include <sys/types.h>

// The most a mask holds: 8192 CPUs in 1 KiB.
inline constexpr size_t CPU_MASK_MAX_BYTES = 1024;
// The least passed with any affinity call: the C library's fixed cpu_set_t.
inline constexpr size_t CPU_MASK_MIN_BYTES = sizeof(cpu_set_t);

struct cpu_mask {
    cpu_set_t sets[CPU_MASK_MAX_BYTES / sizeof(cpu_set_t)];
};
static_assert(sizeof(cpu_mask) == CPU_MASK_MAX_BYTES);

// The mask with only the bit of cpu set; the empty mask for a number outside
// 0 to 8191, which the platform then refuses.
cpu_mask make_single_cpu_mask(int32_t cpu);

// The size to pass when setting the mask of cpu: the smallest whole number of
// 64-bit words that holds its bit, and never less than CPU_MASK_MIN_BYTES.
size_t single_cpu_mask_bytes(int32_t cpu);

// True when all bytes of the two masks are equal.
bool masks_equal(const cpu_mask &a, const cpu_mask &b);

// Reads the affinity of task into mask, clearing every bit the kernel does
// not report. Starts with CPU_MASK_MIN_BYTES and, while the kernel refuses
// the size as smaller than its number of possible CPUs (EINVAL), doubles it
// up to CPU_MASK_MAX_BYTES. Returns 0, or -1 with errno from the last attempt.
int read_affinity(pid_t task, cpu_mask &mask);
