// SPDX-License-Identifier: MIT
#include "child_text.h"
#include "paths.h"
#include "verdict.h"

#include <array>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <tuple>

namespace {

// The lines of a tool's output a report keeps.
TEST(ChildText, TheOutputKept) {
    using namespace std::string_literals;
    const std::tuple<std::string, int, std::string> cases[] = {
        {"Pass: x\n", 20, "Pass: x"},
        {"a\nb\nc\n", 2, "a\nb"},
        {"a\nb\nc", 3, "a\nb\nc"},
        {"", 20, ""},
        {"\n\n", 20, "\n"},
        // a NUL is a byte like another
        {"Pass\0\nFail\n"s, 20, "Pass\0\nFail"s},
    };
    for (const auto &[output, lines, want] : cases) {
        EXPECT_EQ(output.substr(0, output_kept(output, lines)), want) << output;
    }
}

TEST(ChildText, TheSignalsThatEndAProcess) {
    for (const int ends : {SIGTERM, SIGHUP, SIGINT, SIGPIPE, SIGXCPU, SIGSEGV, SIGUSR1, SIGRTMIN}) {
        EXPECT_TRUE(ends_by_default(ends)) << ends;
    }
    for (const int stays :
         {SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU, SIGKILL, SIGSTOP}) {
        EXPECT_FALSE(ends_by_default(stays)) << stays;
    }
}

// A fork's EAGAIN is the limit's only where its user is held to it and has
// reached it.
TEST(ChildText, TheLimitOnProcessesBlamedWhereItIsTheCause) {
    const std::tuple<bool, unsigned long long, unsigned long long, bool> cases[] = {
        {true, 1, 1, true},   {true, 1, 3, true},        {true, 100, 3, false},
        {false, 1, 5, false}, {false, 95000, 10, false},
    };
    for (const auto &[held, limit, tasks, refused] : cases) {
        EXPECT_EQ(nproc_refused(held, limit, tasks), refused) << held << limit << " " << tasks;
    }
}

TEST(Paths, JoinedCutAndSearched) {
    std::array<char, 8> small{};
    EXPECT_TRUE(path_join(small, "/a", "/", "b"));
    EXPECT_STREQ(small.data(), "/a/b");
    EXPECT_FALSE(path_join(small, "/abcd", "/", "efg"));
    const std::tuple<const char *, const char *> folders[] = {
        {"/usr/bin/corehop-sweep", "/usr/bin"},
        {"/corehop-sweep", "/"},
        {"corehop-sweep", ""},
        {"./corehop-sweep", "."},
        {"a/b/", "a/b"}};
    for (const auto &[name, want] : folders) {
        EXPECT_EQ(path_folder(name), want) << name;
    }
    // cut up to the mount's point, no further
    std::array<char, 64> path{};
    snprintf(path.data(), path.size(), "/sys/fs/cgroup/a/b");
    EXPECT_TRUE(path_up(path, 14));
    EXPECT_STREQ(path.data(), "/sys/fs/cgroup/a");
    EXPECT_TRUE(path_up(path, 14));
    EXPECT_STREQ(path.data(), "/sys/fs/cgroup");
    EXPECT_FALSE(path_up(path, 14));
    EXPECT_STREQ(path.data(), "/sys/fs/cgroup");
    const std::tuple<const char *, std::string> lists[] = {{"/bin:/usr/bin", "/bin|/usr/bin|"},
                                                           {"", ".|"},
                                                           {"::", ".|.|.|"},
                                                           {"/x:", "/x|.|"},
                                                           {"a", "a|"}};
    for (const auto &[list, want] : lists) {
        std::string_view rest = list;
        std::string_view folder;
        std::string got;
        for (bool more = true; path_next(rest, folder, more);) {
            got += std::string(folder) + "|";
        }
        EXPECT_EQ(got, want) << list;
    }
}

// The tools' verdict lines, from their one home, and the pid corenest's
// names.
TEST(Verdict, TheToolsLines) {
    std::array<char, VERDICT_LINE_MAX> line{};
    move_pass_line(line, 4242, 3);
    EXPECT_STREQ(line.data(), "Pass: switch thread 4242 to cpu 3 success");
    move_fail_line(line, 0, 8192);
    EXPECT_STREQ(line.data(), "Fail:can not switch thread 0 to CPU 8192");
    move_read_fail_line(line, 7, 1, "No such process");
    EXPECT_STREQ(line.data(), "Fail:Get thread 7 on CPU 1 affinity failed, error: No such process");
    park_fail_line(line, 99, -2, "Invalid argument");
    EXPECT_STREQ(line.data(),
                 "Fail:Set thread 99 on CPU -2 affinity failed, error: Invalid argument");
    const std::tuple<const char *, long> pids[] = {
        {"Fail:Set thread 99 on CPU 5 affinity failed, error: Invalid argument", 99},
        {"Fail:Set thread x on CPU 5", -1},
        {"Fail:Set thread 99", -1},
        {"Pass: switch thread 99 to cpu 1 success", -1},
        {"", -1},
    };
    for (const auto &[said, pid] : pids) {
        EXPECT_EQ(park_fail_pid(said), pid) << said;
    }
}

} // namespace
