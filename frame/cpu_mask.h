// The single-CPU affinity mask shared by the tools: the platform's fixed-size
// CPU set of 1024 bits, with at most one bit set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sched.h>

using cpu_mask = cpu_set_t;

// The size passed with every affinity call, whatever the number of CPUs.
inline constexpr size_t CPU_MASK_BYTES = 128;
static_assert(sizeof(cpu_mask) == CPU_MASK_BYTES);

// The mask with only the bit of cpu set; the empty mask for a number outside
// 0 to 1023, which the platform then refuses.
cpu_mask make_single_cpu_mask(int32_t cpu);

// True when all 128 bytes of the two masks are equal.
bool masks_equal(const cpu_mask &a, const cpu_mask &b);
