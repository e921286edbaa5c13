// SPDX-License-Identifier: MIT
#include "cpu_mask.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>

namespace {

constexpr size_t WORD_BITS = 8 * sizeof(unsigned long);
constexpr size_t WORDS = CPU_MASK_MAX_BYTES / sizeof(unsigned long);
using words = std::array<unsigned long, WORDS>;

words words_of(const cpu_mask &mask) {
    words w{};
    memcpy(w.data(), mask.sets, sizeof w);
    return w;
}

cpu_mask mask_of(const words &w) {
    cpu_mask mask{};
    memcpy(mask.sets, w.data(), sizeof mask);
    return mask;
}

struct single_cpu_case {
    int32_t cpu;
    bool set;     // false: no bit at all
    size_t bytes; // the size a set passes
};

TEST(CpuMask, SetsExactlyTheBitOfTheCpuOrNone) {
    const single_cpu_case cases[] = {
        {0, true, 128},          {1, true, 128},          {63, true, 128},   {64, true, 128},
        {65, true, 128},         {1023, true, 128},       {1024, true, 136}, {1050, true, 136},
        {1087, true, 136},       {1088, true, 144},       {4095, true, 512}, {8191, true, 1024},
        {8192, false, 128},      {5000, true, 632},       {-2, false, 128},  {-1, false, 128},
        {INT32_MAX, false, 128}, {INT32_MIN, false, 128},
    };
    for (const auto &c : cases) {
        words want{};
        if (c.set) {
            const auto n = static_cast<size_t>(c.cpu);
            want.at(n / WORD_BITS) = 1UL << (n % WORD_BITS);
        }
        EXPECT_EQ(words_of(make_single_cpu_mask(c.cpu)), want) << "cpu " << c.cpu;
        EXPECT_EQ(single_cpu_mask_bytes(c.cpu), c.bytes) << "cpu " << c.cpu;
    }
}

TEST(CpuMask, OneExtraBitAnywhereMakesMasksUnequal) {
    for (const int32_t cpu : {0, 63, 64, 1023, 1024, 8191}) {
        const cpu_mask requested = make_single_cpu_mask(cpu);
        EXPECT_TRUE(masks_equal(requested, make_single_cpu_mask(cpu))) << "cpu " << cpu;
        for (size_t extra = 0; extra < 8 * CPU_MASK_MAX_BYTES; ++extra) {
            if (extra == static_cast<size_t>(cpu)) {
                continue;
            }
            words w = words_of(requested);
            w.at(extra / WORD_BITS) |= 1UL << (extra % WORD_BITS);
            EXPECT_FALSE(masks_equal(requested, mask_of(w))) << cpu << " + " << extra;
            EXPECT_FALSE(masks_equal(mask_of(w), requested)) << cpu << " + " << extra;
        }
    }
}

TEST(CpuMask, DifferentCpusAndTheEmptyMaskAreUnequal) {
    EXPECT_FALSE(masks_equal(make_single_cpu_mask(0), make_single_cpu_mask(1)));
    EXPECT_FALSE(masks_equal(make_single_cpu_mask(0), make_single_cpu_mask(64)));
    EXPECT_FALSE(masks_equal(make_single_cpu_mask(0), make_single_cpu_mask(1024)));
    EXPECT_FALSE(masks_equal(make_single_cpu_mask(0), make_single_cpu_mask(8192)));
    EXPECT_TRUE(masks_equal(make_single_cpu_mask(8192), make_single_cpu_mask(-2)));
}

TEST(CpuMask, ReadsItsOwnAffinityWithEveryOtherBitClear) {
    cpu_set_t own;
    ASSERT_EQ(sched_getaffinity(0, sizeof own, &own), 0);
    words garbage;
    garbage.fill(~0UL);
    cpu_mask mask = mask_of(garbage);
    ASSERT_EQ(read_affinity(0, mask), 0);
    const words w = words_of(mask);
    for (size_t cpu = 0; cpu < 8 * CPU_MASK_MAX_BYTES; ++cpu) {
        const bool want = cpu < CPU_SETSIZE && CPU_ISSET(cpu, &own);
        EXPECT_EQ((w.at(cpu / WORD_BITS) >> (cpu % WORD_BITS)) & 1UL, want ? 1UL : 0UL) << cpu;
    }
}

} // namespace
