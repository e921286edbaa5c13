#include "cpu_mask.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>

namespace {

using words = std::array<uint64_t, 16>;

words words_of(const cpu_mask &mask) {
    words w{};
    memcpy(w.data(), &mask, sizeof w);
    return w;
}

cpu_mask mask_of(const words &w) {
    cpu_mask mask;
    memcpy(&mask, w.data(), sizeof mask);
    return mask;
}

struct single_cpu_case {
    int32_t cpu;
    int word; // -1: no bit at all
    int bit;
};

TEST(CpuMask, SetsExactlyTheBitOfTheCpuOrNone) {
    const single_cpu_case cases[] = {
        {0, 0, 0},   {1, 0, 1},      {63, 0, 63},        {64, 1, 0},
        {65, 1, 1},  {1023, 15, 63}, {1024, -1, 0},      {5000, -1, 0},
        {-2, -1, 0}, {-1, -1, 0},    {INT32_MAX, -1, 0}, {INT32_MIN, -1, 0},
    };
    for (const auto &c : cases) {
        words want{};
        if (c.word >= 0) {
            want[static_cast<size_t>(c.word)] = uint64_t{1} << c.bit;
        }
        EXPECT_EQ(words_of(make_single_cpu_mask(c.cpu)), want) << "cpu " << c.cpu;
    }
}

TEST(CpuMask, OneExtraBitAnywhereMakesMasksUnequal) {
    for (const int32_t cpu : {0, 63, 64, 1023}) {
        const cpu_mask requested = make_single_cpu_mask(cpu);
        EXPECT_TRUE(masks_equal(requested, make_single_cpu_mask(cpu))) << "cpu " << cpu;
        for (int extra = 0; extra < 1024; ++extra) {
            if (extra == cpu) {
                continue;
            }
            words w = words_of(requested);
            w[static_cast<size_t>(extra / 64)] |= uint64_t{1} << (extra % 64);
            EXPECT_FALSE(masks_equal(requested, mask_of(w))) << cpu << " + " << extra;
            EXPECT_FALSE(masks_equal(mask_of(w), requested)) << cpu << " + " << extra;
        }
    }
}

TEST(CpuMask, DifferentCpusAndTheEmptyMaskAreUnequal) {
    EXPECT_FALSE(masks_equal(make_single_cpu_mask(0), make_single_cpu_mask(1)));
    EXPECT_FALSE(masks_equal(make_single_cpu_mask(0), make_single_cpu_mask(64)));
    EXPECT_FALSE(masks_equal(make_single_cpu_mask(0), make_single_cpu_mask(1024)));
    EXPECT_TRUE(masks_equal(make_single_cpu_mask(1024), make_single_cpu_mask(-2)));
}

} // namespace
