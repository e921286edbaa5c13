// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct conversion_case {
    const char *text;
    int32_t value;
};

TEST(OptionValue, ConvertsLikeAtoiButSaturates) {
    const conversion_case cases[] = {
        {"0", 0},
        {"7", 7},
        {"-2", -2},
        {"-1", -1},
        {"3x", 3},
        {"x", 0},
        {"", 0},
        {" 7", 7},
        {"\t\n 7", 7},
        {"+5", 5},
        {"+-5", 0},
        {"- 5", 0},
        {"007", 7},
        {"0x10", 0},
        {"1e3", 1},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", INT32_MAX},
        {"-2147483649", INT32_MIN},
        {"4294967297", INT32_MAX},
        {"-4294967297", INT32_MIN},
        {"4294967295", INT32_MAX},
        {"99999999999999999999999999", INT32_MAX},
        {"-99999999999999999999999999", INT32_MIN},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(option_value(c.text), c.value) << '"' << c.text << '"';
    }
}

// Runs the scanner over a command line of corehop's shape and returns
// its two values, as "c p".
std::string scan(std::vector<std::string> words) {
    std::vector<char *> argv;
    // (w.data() must give a char *: w cannot be const, whatever cppcheck 2.17 says)
    // cppcheck-suppress constVariableReference
    for (auto &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    int32_t c = 0;
    int32_t p = 0;
    int32_t *const values[] = {&c, &p};
    optind = 0; // a fresh scan for every call
    scan_command_line(static_cast<int>(words.size()), argv.data(), "own", "c:p:?", values);
    return std::to_string(c) + " " + std::to_string(p);
}

struct accepted_case {
    std::vector<std::string> argv;
    const char *values;
};

TEST(ScanCommandLine, AcceptedLines) {
    const accepted_case cases[] = {
        {{"t", "-p", "2", "-c", "1"}, "1 2"},
        {{"t", "-c", "-1", "-c", "4", "-p", "2"}, "4 2"},
        {{"t", "word", "-c", "1", "-p", "2", "--", "-x"}, "1 2"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(scan(c.argv), c.values) << testing::PrintToString(c.argv);
    }
}

struct refused_case {
    std::vector<std::string> argv;
    const char *stderr_pattern;
};

TEST(ScanCommandLine, RefusedLinesEndWithTheUsageFailure) {
    const refused_case cases[] = {
        {{"t"}, "^\nerr:cmd t param is incorrect!\n$"},
        {{"t", "-c", "1"}, "^\nerr:cmd t param is incorrect!\n$"},
        {{"t", "-c", "1", "-p", "-1"}, "^\nerr:cmd t param is incorrect!\n$"},
        {{"t", "-c", "1", "-p", "1", "-x"},
         "^t: invalid option -- 'x'\n\nerr:cmd t param is incorrect!\n$"},
        {{"/usr/bin/t"}, "^\nerr:cmd /usr/bin/t param is incorrect!\n$"},
        {{""}, "^\nerr:cmd own param is incorrect!\n$"},
        {{}, "^\nerr:cmd own param is incorrect!\n$"},
    };
    for (const auto &c : cases) {
        EXPECT_EXIT(scan(c.argv), testing::ExitedWithCode(2), c.stderr_pattern)
            << testing::PrintToString(c.argv);
    }
}

} // namespace
