// SPDX-License-Identifier: MIT
#include "cpu_mask.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

constexpr int32_t MAX_CPUS = CHAR_BIT * CPU_MASK_MAX_BYTES;
// Sizes go in whole 64-bit words: a kernel reads masks in its own words, and
// a 64-bit one takes no less from a 32-bit program.
constexpr size_t SIZE_GRAIN_BYTES = 8;
constexpr size_t SIZE_GRAIN_BITS = CHAR_BIT * SIZE_GRAIN_BYTES;

} // namespace

cpu_mask make_single_cpu_mask(int32_t cpu) {
    cpu_mask mask{};
    if (cpu >= 0 && cpu < MAX_CPUS) {
        const auto n = static_cast<size_t>(cpu);
        // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-constant-array-index): n is checked
        CPU_SET(n % CPU_SETSIZE, &mask.sets[n / CPU_SETSIZE]);
    }
    return mask;
}

size_t single_cpu_mask_bytes(int32_t cpu) {
    if (cpu < 0 || cpu >= MAX_CPUS) {
        return CPU_MASK_MIN_BYTES;
    }
    const size_t words = (static_cast<size_t>(cpu) / SIZE_GRAIN_BITS) + 1;
    return std::max(CPU_MASK_MIN_BYTES, words * SIZE_GRAIN_BYTES);
}

bool masks_equal(const cpu_mask &a, const cpu_mask &b) {
    return memcmp(a.sets, b.sets, sizeof a.sets) == 0;
}

int read_affinity(pid_t task, cpu_mask &mask) {
    mask = cpu_mask{};
    size_t bytes = CPU_MASK_MIN_BYTES;
    // The C library clears the bytes past those the kernel fills.
    while (sched_getaffinity(task, bytes, mask.sets) == -1) {
        if (errno != EINVAL || bytes == CPU_MASK_MAX_BYTES) {
            return -1;
        }
        bytes *= 2;
    }
    return 0;
}
