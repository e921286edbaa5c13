// SPDX-License-Identifier: MIT
#include "cpu_mask.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sched.h>

namespace {

constexpr uint64_t WORD_BITS = 8 * sizeof(unsigned long);
constexpr uint64_t MAX_CPUS = 8 * CPU_MASK_MAX_BYTES;

cpu_set_t *as_cpu_set(cpu_mask &mask) {
    return static_cast<cpu_set_t *>(static_cast<void *>(mask.words));
}

} // namespace

cpu_mask make_single_cpu_mask(int32_t cpu) {
    cpu_mask mask{};
    // Widened with its sign, a negative number lies past every CPU.
    const auto n = static_cast<uint64_t>(static_cast<int64_t>(cpu));
    if (n < MAX_CPUS) {
        // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-constant-array-index): n is checked
        mask.words[n / WORD_BITS] |= 1UL << (n % WORD_BITS);
    }
    return mask;
}

size_t single_cpu_mask_bytes(int32_t cpu) {
    const auto n = static_cast<uint64_t>(static_cast<int64_t>(cpu));
    if (n >= MAX_CPUS) {
        return CPU_MASK_BYTES;
    }
    return std::max(CPU_MASK_BYTES, static_cast<size_t>(n / 64 + 1) * 8);
}

bool masks_equal(const cpu_mask &a, const cpu_mask &b) {
    return memcmp(a.words, b.words, CPU_MASK_MAX_BYTES) == 0;
}

int read_affinity(pid_t task, cpu_mask &mask) {
    mask = cpu_mask{};
    size_t bytes = CPU_MASK_BYTES;
    // The C library clears the bytes past those the kernel fills.
    while (sched_getaffinity(task, bytes, as_cpu_set(mask)) == -1) {
        if (errno != EINVAL || bytes == CPU_MASK_MAX_BYTES) {
            return -1;
        }
        bytes *= 2;
    }
    return 0;
}
