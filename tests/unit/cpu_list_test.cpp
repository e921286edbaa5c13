// SPDX-License-Identifier: MIT
#include "cpu_list.h"

#include <array>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string format(const cpu_list &list) {
    std::array<char, CPU_LIST_TEXT_MAX> text{};
    cpu_list_format(list, text);
    return text.data();
}

struct list_case {
    const char *text;
    const char *format; // nullptr: refused
};

TEST(CpuList, ReadsTheKernelsFormatInAnyOrderWithStrides) {
    const list_case cases[] = {
        {"0", "0"},
        {"0-3", "0-3"},
        {"0-3,8,10-11", "0-3,8,10-11"},
        {"1,0", "0-1"},
        {"0-1,1,0", "0-1"},
        {"3,0-3,2", "0-3"},
        {"5,1", "1,5"},
        {"0-2,4-6,3", "0-6"},
        {"0-7:2/4", "0-1,4-5"},
        {"0-1:1/1", "0-1"},
        {"1-9:1/3", "1,4,7"},
        {"5:1/2", "5"},
        {"0-9:3/4", "0-2,4-6,8-9"},
        {"00007", "7"},
        {"8191", "8191"},
        {"8190-8191,0", "0,8190-8191"},
        {"", nullptr},
        {",", nullptr},
        {"1,", nullptr},
        {",1", nullptr},
        {"1,,2", nullptr},
        {"x", nullptr},
        {"-1", nullptr},
        {"1-", nullptr},
        {"3-1", nullptr},
        {"1-2-3", nullptr},
        {"8192", nullptr},
        {"0-8192", nullptr},
        {"99999999999999999999", nullptr},
        {"10000", nullptr},
        {"0-7:2", nullptr},
        {"0-7:0/4", nullptr},
        {"0-7:3/2", nullptr},
        {"0-7:1/2/4", nullptr},
        {"0-7:1/2:1/2", nullptr},
        {"0-8192:1/2", nullptr},
        {" 1", nullptr},
        {"1 ", nullptr},
        {"1\n", nullptr},
        {"a\\cb", nullptr},
    };
    for (const auto &c : cases) {
        cpu_list list{};
        cpu_list_add(list, 42, 42);
        const bool read = cpu_list_parse(c.text, list);
        EXPECT_EQ(read, c.format != nullptr) << '"' << c.text << '"';
        if (read) {
            EXPECT_EQ(format(list), c.format) << '"' << c.text << '"';
        } else {
            // a refused text leaves the list as it was
            EXPECT_EQ(format(list), "42") << '"' << c.text << '"';
        }
    }
}

TEST(CpuList, TheLongestTextsFitAndReadBack) {
    // every other CPU, and runs of two with one between: the longest lists
    for (const char *text : {"0-8191:1/2", "0-8191:2/3", "1-8191:2/3"}) {
        cpu_list list{};
        ASSERT_TRUE(cpu_list_parse(text, list)) << text;
        std::array<char, CPU_LIST_TEXT_MAX> formatted{};
        const size_t length = cpu_list_format(list, formatted);
        EXPECT_LT(length, CPU_LIST_TEXT_MAX - 1) << text;
        cpu_list again{};
        ASSERT_TRUE(cpu_list_parse(formatted.data(), again)) << text;
        EXPECT_EQ(format(again), formatted.data()) << text;
    }
}

struct set_case {
    const char *a;
    const char *b;
    const char *both;
    const char *but; // a less b
};

TEST(CpuList, BothAndBut) {
    const set_case cases[] = {
        {"0-3", "2-5", "2-3", "0-1"},
        {"0-3", "0-3", "0-3", ""},
        {"0-3", "4-7", "", "0-3"},
        {"0-8191", "63-64", "63-64", "0-62,65-8191"},
        {"0,63,64,127,128", "0-63", "0,63", "64,127-128"},
        {"5", "0-4,6-8191", "", "5"},
    };
    for (const auto &c : cases) {
        cpu_list a{};
        cpu_list b{};
        ASSERT_TRUE(cpu_list_parse(c.a, a));
        ASSERT_TRUE(cpu_list_parse(c.b, b));
        EXPECT_EQ(format(cpu_list_both(a, b)), c.both) << c.a << " and " << c.b;
        EXPECT_EQ(format(cpu_list_but(a, b)), c.but) << c.a << " but " << c.b;
    }
}

struct walk_case {
    const char *text;
    int32_t count;
    int32_t first;
    int32_t last;
    int32_t after63;   // the next after CPU 63
    int32_t first_end; // the end of the first run
};

TEST(CpuList, CountsAndWalksAcrossWords) {
    const walk_case cases[] = {
        {"0", 1, 0, 0, -1, 0},
        {"63", 1, 63, 63, -1, 63},
        {"64", 1, 64, 64, 64, 64},
        {"63-65", 3, 63, 65, 64, 65},
        {"8191", 1, 8191, 8191, 8191, 8191},
        {"0-8191", 8192, 0, 8191, 64, 8191},
        {"1,4000", 2, 1, 4000, 4000, 1},
    };
    for (const auto &c : cases) {
        cpu_list list{};
        ASSERT_TRUE(cpu_list_parse(c.text, list));
        EXPECT_EQ(cpu_list_count(list), c.count) << c.text;
        EXPECT_EQ(cpu_list_next(list, -1), c.first) << c.text;
        EXPECT_EQ(cpu_list_last(list), c.last) << c.text;
        EXPECT_EQ(cpu_list_next(list, 63), c.after63) << c.text;
        EXPECT_EQ(cpu_list_run_end(list, c.first), c.first_end) << c.text;
    }
    const cpu_list none{};
    EXPECT_EQ(cpu_list_count(none), 0);
    EXPECT_EQ(cpu_list_next(none, -1), -1);
    EXPECT_EQ(cpu_list_last(none), -1);
    EXPECT_EQ(format(none), "");
    EXPECT_FALSE(cpu_list_has(none, -1));
    EXPECT_FALSE(cpu_list_has(none, 8192));
}

} // namespace
