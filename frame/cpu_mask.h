// SPDX-License-Identifier: MIT
// The single-CPU affinity mask shared by the tools: room for every CPU number
// the kernel can be built for (8192), with at most one bit set, in the layout
// of the platform's CPU sets (bit n in word n / bits-per-word).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sched.h>
#include <sys/types.h>

// The most a mask holds: 8192 CPUs in 1 KiB.
inline constexpr size_t CPU_MASK_MAX_BYTES = 1024;
// The least passed with any affinity call: the C library's fixed cpu_set_t.
inline constexpr size_t CPU_MASK_BYTES = 128;

struct cpu_mask {
    unsigned long words[CPU_MASK_MAX_BYTES / sizeof(unsigned long)];
};
static_assert(sizeof(cpu_mask) == CPU_MASK_MAX_BYTES);

// The platform's view of a mask, for the affinity calls, which take its size
// beside it.
inline const cpu_set_t *as_cpu_set(const cpu_mask &mask) {
    return static_cast<const cpu_set_t *>(static_cast<const void *>(mask.words));
}

// The mask with only the bit of cpu set; the empty mask for a number outside
// 0 to 8191, which the platform then refuses.
cpu_mask make_single_cpu_mask(int32_t cpu);

// The size to pass when setting the mask of cpu: the smallest multiple of 8
// bytes that holds its bit, and never less than 128.
size_t single_cpu_mask_bytes(int32_t cpu);

// True when all bytes of the two masks are equal.
bool masks_equal(const cpu_mask &a, const cpu_mask &b);

// Reads the affinity of task into mask, clearing every bit the kernel does
// not report. Starts with 128 bytes and, while the kernel refuses the size as
// smaller than its number of possible CPUs (EINVAL), doubles it up to 1 KiB.
// Returns 0, or -1 with errno from the last attempt.
int read_affinity(pid_t task, cpu_mask &mask);
