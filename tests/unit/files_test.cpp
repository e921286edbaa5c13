// SPDX-License-Identifier: MIT
#include "files.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

// A folder of the test's own, removed at its end.
struct folder {
    std::string path;
    folder() {
        std::array<char, 64> name{};
        snprintf(name.data(), name.size(), "/tmp/corehop-files.XXXXXX");
        path = mkdtemp(name.data());
    }
    folder(const folder &) = delete;
    folder &operator=(const folder &) = delete;
    folder(folder &&) = delete;
    folder &operator=(folder &&) = delete;
    ~folder() {
        const std::string remove = "rm -rf '" + path + "'";
        EXPECT_EQ(system(remove.c_str()), 0);
    }
    std::string write(const std::string &name, const std::string &content) const {
        std::ofstream(path + "/" + name, std::ios::binary) << content;
        return path + "/" + name;
    }
};

// A whole small file, or what keeps it from being read, with the file named.
TEST(Files, ReadsAWholeSmallFileOrSaysWhyNot) {
    const folder f;
    const std::tuple<std::string, size_t, const char *, int> cases[] = {
        {"0-3\n", 16, "0-3\n", 0},
        {"", 16, "", 0},
        // one byte short of its room: it does not fit
        {"0123456789abcdef", 16, "", EFBIG},
        {"0123456789abcde", 16, "0123456789abcde", 0},
    };
    for (const auto &[content, room, want, error] : cases) {
        const std::string path = f.write("file", content);
        std::vector<char> buf(room, '#');
        size_t length = 99;
        const unseen read = read_file(path.c_str(), buf, length);
        EXPECT_EQ(read.error, error) << content;
        EXPECT_EQ(is_unseen(read), error != 0) << content;
        EXPECT_STREQ(buf.data(), want) << content;
        EXPECT_EQ(length, error != 0 ? 0 : content.size()) << content;
        if (error != 0) {
            EXPECT_EQ(std::string(read.text), path + " cannot be read: " + strerror(error));
            EXPECT_EQ(std::string(read.subject), path);
        }
    }
    std::array<char, 16> buf{};
    const unseen missing = read_file((f.path + "/none").c_str(), buf);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_STREQ(buf.data(), "");
    EXPECT_EQ(read_file(f.path.c_str(), buf).error, EISDIR);
}

TEST(Files, TheFirstLine) {
    const folder f;
    const std::tuple<const char *, const char *> cases[] = {
        {"0-3\n", "0-3"},
        {"isolated invalid (x)\nmore\n", "isolated invalid (x)"},
        {"no break", "no break"},
        {"\n", ""},
        {"", ""},
    };
    for (const auto &[content, want] : cases) {
        std::array<char, 64> buf{};
        EXPECT_FALSE(is_unseen(read_line(f.write("line", content).c_str(), buf))) << content;
        EXPECT_STREQ(buf.data(), want) << content;
    }
}

// Lines as they come, a line longer than the buffer passed over whole.
TEST(Files, EachLineThroughASmallBuffer) {
    const folder f;
    const std::tuple<std::string, std::vector<std::string>> cases[] = {
        {"a\nbb\nccc\n", {"a", "bb", "ccc"}},
        {"a\nend", {"a", "end"}},
        {"\n\nx\n", {"", "", "x"}},
        {"", {}},
        // longer than the buffer of 8 bytes: passed over, what follows kept
        {"short\n" + std::string(20, 'l') + "\nafter\n", {"short", "after"}},
        {std::string(8, 'e') + "\nnext\n", {"next"}},
        {std::string(7, 's') + "\nnext\n", {std::string(7, 's'), "next"}},
        {std::string(30, 'z'), {}},
    };
    for (const auto &[content, want] : cases) {
        std::vector<std::string> got;
        std::array<char, 8> buffer{};
        const unseen read = each_line(
            f.write("lines", content).c_str(), buffer,
            [](void *context, std::string_view line) {
                static_cast<std::vector<std::string> *>(context)->emplace_back(line);
                return true;
            },
            &got);
        EXPECT_FALSE(is_unseen(read));
        EXPECT_EQ(got, want) << content;
    }
    // stopped by the visitor
    int seen = 0;
    std::array<char, 64> buffer{};
    each_line(
        f.write("stop", "1\n2\n3\n").c_str(), buffer,
        [](void *context, std::string_view) { return ++*static_cast<int *>(context) < 2; }, &seen);
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(each_line((f.path + "/none").c_str(), buffer, nullptr, nullptr).error, ENOENT);
}

struct walk_record {
    std::vector<std::string> seen;
    std::string stop_at;
    std::string fail_at;
};

walk_step record(void *context, std::span<char> path, int depth, unsigned char /*type*/,
                 unseen &failed) {
    auto &r = *static_cast<walk_record *>(context);
    const std::string name = strrchr(path.data(), '/') + 1;
    r.seen.push_back(std::to_string(depth) + ":" + name);
    if (name == r.fail_at) {
        failed = unseen_said(path.data(), EIO, "failed at %s", name.c_str());
    }
    if (name == r.stop_at) {
        return walk_step::stop;
    }
    return name.starts_with("d") ? walk_step::descend : walk_step::pass;
}

// Every entry once, its depth, into the folders the visitor goes into, up
// to the depth the walk allows; a stop keeps where it stopped.
TEST(Files, WalksFoldersToTheirDepth) {
    const folder f;
    mkdir((f.path + "/d1").c_str(), 0700);
    mkdir((f.path + "/d1/d2").c_str(), 0700);
    mkdir((f.path + "/d1/d2/d3").c_str(), 0700);
    mkdir((f.path + "/skip").c_str(), 0700);
    mkdir((f.path + "/skip/dx").c_str(), 0700);
    f.write("d1/d2/file", "");
    // depth | what is seen, sorted | error
    const std::tuple<int, std::vector<std::string>, int> cases[] = {
        {4, {"1:d1", "1:skip", "2:d2", "3:d3", "3:file"}, 0},
        // a folder to go into past the depth: the path too long
        {3, {}, ENAMETOOLONG},
        {1, {}, ENAMETOOLONG},
    };
    for (const auto &[depth, want, error] : cases) {
        walk_record r{.seen = {}, .stop_at = "", .fail_at = ""};
        std::array<char, PATH_TEXT_MAX> path{};
        snprintf(path.data(), path.size(), "%s", f.path.c_str());
        const unseen walked = walk_folder(path, depth, record, &r);
        EXPECT_EQ(walked.error, error) << depth;
        std::sort(r.seen.begin(), r.seen.end());
        if (error == 0) {
            EXPECT_EQ(r.seen, want) << depth;
            EXPECT_EQ(std::string(path.data()), f.path) << depth;
        }
    }
    // a stop keeps where it stopped; a failure the visitor says stops it
    // | stop at | fail at | the path left | error
    const std::tuple<const char *, const char *, std::string, int> stops[] = {
        {"file", "", f.path + "/d1/d2/file", 0},
        {"d2", "", f.path + "/d1/d2", 0},
        {"", "d2", f.path, EIO},
    };
    for (const auto &[stop, fail, left, error] : stops) {
        walk_record r{.seen = {}, .stop_at = stop, .fail_at = fail};
        std::array<char, PATH_TEXT_MAX> path{};
        snprintf(path.data(), path.size(), "%s", f.path.c_str());
        EXPECT_EQ(walk_folder(path, 4, record, &r).error, error) << stop << fail;
        EXPECT_EQ(std::string(path.data()), left) << stop << fail;
    }
    std::array<char, PATH_TEXT_MAX> missing{};
    snprintf(missing.data(), missing.size(), "%s/none", f.path.c_str());
    EXPECT_EQ(walk_folder(missing, 1, record, nullptr).error, ENOENT);
    snprintf(missing.data(), missing.size(), "%s", f.write("plain", "").c_str());
    EXPECT_EQ(walk_folder(missing, 1, record, nullptr).error, ENOTDIR);
}

// A task's files, and a task that is gone.
TEST(Files, TheFilesOfATask) {
    std::array<char, 4096> buf{};
    EXPECT_FALSE(is_unseen(read_task_file(getpid(), -1, "stat", buf)));
    EXPECT_EQ(strtol(buf.data(), nullptr, 10), getpid());
    EXPECT_FALSE(is_unseen(read_task_file(getpid(), getpid(), "status", buf)));
    EXPECT_NE(std::string(buf.data()).find("Cpus_allowed_list:"), std::string::npos);
    // (a pid past any the kernel gives)
    const unseen gone = read_task_file(999999999, -1, "stat", buf);
    EXPECT_TRUE(task_gone(gone));
    EXPECT_FALSE(task_gone(unseen{}));
    EXPECT_FALSE(task_gone(unseen_read("/proc/1/stat", EACCES)));
    EXPECT_TRUE(task_gone(unseen_read("/proc/1/stat", ESRCH)));
}

// What was not seen, said one way.
TEST(Files, WhatCouldNotBeSeen) {
    EXPECT_FALSE(is_unseen(unseen{}));
    EXPECT_STREQ(unseen_read("/proc/irq", ENOENT).text,
                 "/proc/irq cannot be read: No such file or directory");
    const unseen call = unseen_call("poll", EPERM);
    EXPECT_STREQ(call.text, "poll: Operation not permitted");
    EXPECT_STREQ(call.subject, "poll");
    EXPECT_EQ(call.error, EPERM);
    // (a text is never empty)
    EXPECT_TRUE(is_unseen(unseen_said("x", 0, "%s", "")));
}

} // namespace
