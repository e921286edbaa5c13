// SPDX-License-Identifier: MIT
#include "cgroup.h"
#include "proc_text.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::string decoded(std::string_view field) {
    std::array<char, 64> out{};
    const size_t length = mount_field_decode(field, out);
    return length < out.size() ? std::string(out.data()) : std::string("(too long)");
}

struct mount_case {
    const char *line;
    const char *root; // nullptr: not a line of the table
    const char *point;
    const char *type;
    const char *super;
};

// Lines of real mount tables.
TEST(MountTable, SplitsALineAndItsTags) {
    const mount_case cases[] = {
        // a Docker host's cgroup v1 cpuset hierarchy
        {"35 25 0:30 / /sys/fs/cgroup/cpuset rw,nosuid,nodev,noexec,relatime shared:15 - cgroup "
         "cgroup rw,cpuset",
         "/", "/sys/fs/cgroup/cpuset", "cgroup", "rw,cpuset"},
        // the same inside one of its containers
        {"1251 1240 0:30 /docker/4f1c0e /sys/fs/cgroup/cpuset ro,nosuid,nodev,noexec,relatime "
         "master:15 - cgroup cpuset rw,cpuset",
         "/docker/4f1c0e", "/sys/fs/cgroup/cpuset", "cgroup", "rw,cpuset"},
        // a podman/systemd host's cgroup v2, with no tag
        {"30 24 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime - cgroup2 cgroup2 "
         "rw,nsdelegate,memory_recursiveprot",
         "/", "/sys/fs/cgroup", "cgroup2", "rw,nsdelegate,memory_recursiveprot"},
        // noprefix, and several tags
        {"40 25 0:33 / /dev/cpuset rw,relatime shared:9 master:2 - cgroup none "
         "rw,cpuset,noprefix,release_agent=/sbin/cpuset_release_agent",
         "/", "/dev/cpuset", "cgroup",
         "rw,cpuset,noprefix,release_agent=/sbin/cpuset_release_agent"},
        // unshare -C two levels down: the mount lies above the namespace's root
        {"30 24 0:26 /../.. /sys/fs/cgroup rw - cgroup2 cgroup2 rw", "/../..", "/sys/fs/cgroup",
         "cgroup2", "rw"},
        // escapes stay as the kernel wrote them
        {"50 25 0:40 / /mnt/a\\040b rw - tmpfs none rw", "/", "/mnt/a\\040b", "tmpfs", "rw"},
        {"", nullptr, nullptr, nullptr, nullptr},
        {"35 25 0:30 / /sys/fs/cgroup/cpuset rw", nullptr, nullptr, nullptr, nullptr},
        {"35 25 0:30", nullptr, nullptr, nullptr, nullptr},
    };
    for (const auto &c : cases) {
        mount_line mount;
        const bool read = mount_line_parse(c.line, mount);
        ASSERT_EQ(read, c.root != nullptr) << c.line;
        if (read) {
            EXPECT_EQ(mount.root, c.root) << c.line;
            EXPECT_EQ(mount.point, c.point) << c.line;
            EXPECT_EQ(mount.type, c.type) << c.line;
            EXPECT_EQ(mount.super, c.super) << c.line;
        }
    }
}

TEST(MountTable, DecodesTheKernelsEscapesAlone) {
    const std::pair<const char *, const char *> cases[] = {
        {"/sys/fs/cgroup", "/sys/fs/cgroup"},
        {"/mnt/a\\040b", "/mnt/a b"},
        {"/a\\011b\\012c", "/a\tb\nc"},
        {"/sub\\134x2dunit.service", "/sub\\x2dunit.service"},
        {"/br[1]/*", "/br[1]/*"},
        {"/a\\b", "/a\\b"},
        {"/a\\04", "/a\\04"},
        {"/a\\101", "/a\\101"},
        {"\\134", "\\"},
        {"/0123456789012345678901234567890123456789012345678901234567890123456789", "(too long)"},
    };
    for (const auto &[field, want] : cases) {
        EXPECT_EQ(decoded(field), want) << field;
    }
}

TEST(MountTable, OptionsByWholeName) {
    EXPECT_TRUE(has_option("rw,cpuset", "cpuset"));
    EXPECT_TRUE(has_option("cpuset", "cpuset"));
    EXPECT_TRUE(has_option("rw,cpu,cpuacct,cpuset,noprefix", "noprefix"));
    EXPECT_FALSE(has_option("rw,cpuset_x", "cpuset"));
    EXPECT_FALSE(has_option("rw,xcpuset", "cpuset"));
    EXPECT_FALSE(has_option("", "cpuset"));
}

struct cgroups_case {
    const char *text;
    const char *v2; // nullptr: none
    const char *v1;
};

TEST(OwnCgroups, TheV2PathAndTheV1CpusetOne) {
    const cgroups_case cases[] = {
        {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/libpod-abc.scope\n",
         "/user.slice/user-1000.slice/user@1000.service/app.slice/libpod-abc.scope", nullptr},
        {"12:pids:/docker/4f1c\n4:cpu,cpuacct:/docker/4f1c\n3:cpuset:/docker/4f1c\n"
         "1:name=systemd:/docker/4f1c\n0::/system.slice/containerd.service\n",
         "/system.slice/containerd.service", "/docker/4f1c"},
        {"5:cpuset,cpu:/a b/c\n", nullptr, "/a b/c"},
        {"0::/../../..\n", "/../../..", nullptr},
        {"0::/\n", "/", nullptr},
        {"0::/sub\\x2dunit.service", "/sub\\x2dunit.service", nullptr},
        {"1:name=cpuset:/x\n", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const auto &c : cases) {
        const own_cgroups own = own_cgroups_parse(c.text);
        EXPECT_EQ(own.has_v2, c.v2 != nullptr) << c.text;
        EXPECT_EQ(own.has_v1, c.v1 != nullptr) << c.text;
        if (own.has_v2 && c.v2 != nullptr) {
            EXPECT_EQ(own.v2, c.v2) << c.text;
        }
        if (own.has_v1 && c.v1 != nullptr) {
            EXPECT_EQ(own.v1, c.v1) << c.text;
        }
    }
}

struct place_case {
    const char *root; // the mount's, decoded
    const char *path; // the cgroup's, from /proc/self/cgroup
    cgroup_place::kind_type kind;
    const char *rest;
    int depth;
};

TEST(CgroupPlace, InAndOutOfNamespaces) {
    const place_case cases[] = {
        // a host: the hierarchy mounted whole
        {"/", "/docker/4f1c", cgroup_place::below, "/docker/4f1c", 0},
        {"/", "/", cgroup_place::below, "", 0},
        {"/", "/a b/br[1]/sub\\x2dunit.service", cgroup_place::below,
         "/a b/br[1]/sub\\x2dunit.service", 0},
        // a container with no cgroup namespace: its own folder mounted
        {"/docker/4f1c", "/docker/4f1c", cgroup_place::below, "", 0},
        {"/docker/4f1c", "/docker/4f1c/x", cgroup_place::below, "/x", 0},
        {"/docker/4f1c", "/docker/4f1c0", cgroup_place::none, "", 0},
        {"/docker/4f1c", "/docker/other", cgroup_place::none, "", 0},
        // unshare -C: the host's mount, above the namespace's root
        {"/..", "/", cgroup_place::search, "", 1},
        {"/../..", "/", cgroup_place::search, "", 2},
        {"/../..", "/x/y", cgroup_place::search, "/x/y", 2},
        {"/../x", "/", cgroup_place::none, "", 0},
        {"/..x", "/", cgroup_place::none, "", 0},
        // ... and this process moved above the namespace's root since, but
        // still below the mount's
        {"/..", "/..", cgroup_place::below, "", 0},
        {"/..", "/../x", cgroup_place::below, "/x", 0},
        {"/../..", "/..", cgroup_place::search, "", 1},
        {"/../../..", "/../x/y", cgroup_place::search, "/x/y", 2},
        {"/..", "/../..", cgroup_place::none, "", 0},
        {"/..", "/..x", cgroup_place::search, "/..x", 1},
        // nsenter -C into a container: this process's cgroup lies outside
        // the namespace, and so its cpuset is unknown
        {"/", "/../../..", cgroup_place::none, "", 0},
        {"/", "/..", cgroup_place::none, "", 0},
        {"/docker/4f1c", "/..", cgroup_place::none, "", 0},
        {"/", "", cgroup_place::none, "", 0},
        {"/", "x", cgroup_place::none, "", 0},
    };
    for (const auto &c : cases) {
        const cgroup_place place = cgroup_place_of(c.root, c.path);
        EXPECT_EQ(place.kind, c.kind) << c.root << " " << c.path;
        if (place.kind != cgroup_place::none) {
            EXPECT_EQ(place.rest, c.rest) << c.root << " " << c.path;
            EXPECT_EQ(place.depth, c.depth) << c.root << " " << c.path;
        }
    }
}

TEST(ProcText, StatusFieldsByTheirWholeKey) {
    const char *const status = "Name:\tcorenest\nCpus_allowed:\t3\nCpus_allowed_list:\t0-1\n"
                               "Mems_allowed_list:\t0\nx Cpus_allowed_list:\t9\n";
    EXPECT_EQ(status_field(status, "Cpus_allowed_list"), "0-1");
    EXPECT_EQ(status_field(status, "Cpus_allowed"), "3");
    EXPECT_EQ(status_field(status, "Name"), "corenest");
    EXPECT_EQ(status_field(status, "Cpus"), "");
    EXPECT_EQ(status_field("Cpus_allowed_list:\t5", "Cpus_allowed_list"), "5");
    EXPECT_EQ(status_field("", "Name"), "");
}

struct stat_case {
    const char *stat;
    const char *comm; // nullptr: no task
    char state;
    unsigned long flags;
};

TEST(ProcText, StatFieldsWhateverTheName) {
    const stat_case cases[] = {
        {"4242 (corenest) S 1 4242 4242 0 -1 4194560 100 0", "(corenest)", 'S', 4194560},
        {"2 (kthreadd) S 0 0 0 0 -1 2129984 0 0", "(kthreadd)", 'S', 2129984},
        {"7 (a) (b) c) R 1 7 7 0 -1 0 0", "(a) (b) c)", 'R', 0},
        {"8 (two words) Z 1 8 8 0 -1 64", "(two words)", 'Z', 64},
        {"9 (x) S", "(x)", 'S', 0},
        {"", nullptr, '\0', 0},
        {"9 x S 1", nullptr, '\0', 0},
    };
    for (const auto &c : cases) {
        const task_stat task = task_stat_parse(c.stat);
        EXPECT_EQ(task.state, c.state) << c.stat;
        if (c.comm != nullptr) {
            EXPECT_EQ(task.comm, c.comm) << c.stat;
            EXPECT_EQ(task.flags, c.flags) << c.stat;
        }
    }
    EXPECT_NE(task_stat_parse(cases[1].stat).flags & TASK_KERNEL_THREAD, 0UL);
    EXPECT_EQ(task_stat_parse(cases[0].stat).flags & TASK_KERNEL_THREAD, 0UL);
}

// A mount made later hides one at its point, or below it.
TEST(MountTable, WhatALaterMountCovers) {
    const std::tuple<const char *, const char *, bool> cases[] = {
        // a container's cgroup mount over the host's
        {"/sys/fs/cgroup", "/sys/fs/cgroup", true},
        // a tmpfs over the folder of the cgroup mounts
        {"/sys/fs/cgroup", "/sys/fs/cgroup/cpuset", true},
        {"/sys", "/sys/fs/cgroup", true},
        {"/", "/sys/fs/cgroup", true},
        // a mount below, or beside
        {"/sys/fs/cgroup/cpuset", "/sys/fs/cgroup", false},
        {"/sys/fs/cgroup2", "/sys/fs/cgroup", false},
        {"/sys/fs/cg", "/sys/fs/cgroup", false},
        {"/mnt", "/sys/fs/cgroup", false},
    };
    for (const auto &[upper, lower, covers] : cases) {
        EXPECT_EQ(mount_covers(upper, lower), covers) << upper << " over " << lower;
    }
}

TEST(ProcText, HexadecimalMasksOfStatus) {
    const char *const status =
        "Name:\tsleep\nCapEff:\t000001ffffffffff\nCapBnd:\t0000000000080000\n"
        "CapPrm:\t0000000000000000\nCapAmb:\tzz\n";
    const std::tuple<const char *, bool, uint64_t> cases[] = {
        {"CapEff", true, 0x1ffffffffffULL},
        {"CapBnd", true, uint64_t{1} << CAP_SYS_PTRACE_BIT},
        {"CapPrm", true, 0},
        {"CapAmb", false, 0},
        {"CapInh", false, 0},
    };
    for (const auto &[key, read, want] : cases) {
        uint64_t mask = 99;
        EXPECT_EQ(status_mask(status, key, mask), read) << key;
        EXPECT_EQ(mask, read ? want : 99) << key;
    }
}

struct proc_case {
    const char *super;
    bool may_ptrace_all;
    bool in_gid;
    const char *hides; // nullptr: every task seen
};

// What a /proc mount hides from whom, as the kernel decides it: hidepid=1
// and 2 hide the tasks of others but from the members of gid= (0 unless
// said) and whoever may ptrace every task; ptraceable hides them but from
// the latter.
TEST(ProcText, WhoSeesEveryTask) {
    const char *const others =
        "/proc is mounted with hidepid: the tasks of other users cannot be seen";
    const char *const ptrace =
        "/proc is mounted with hidepid=ptraceable: the tasks this process may "
        "not ptrace cannot be seen";
    const proc_case cases[] = {
        {"rw", false, false, nullptr},
        {"rw,hidepid=off", false, false, nullptr},
        {"rw,hidepid=0", false, false, nullptr},
        {"rw,hidepid=2", false, false, others},
        {"rw,hidepid=invisible", false, false, others},
        {"rw,hidepid=noaccess", false, false, others},
        {"rw,hidepid=1", false, false, others},
        {"rw,hidepid=invisible", true, false, nullptr},
        {"rw,hidepid=invisible,gid=1000", false, true, nullptr},
        {"rw,hidepid=ptraceable", false, false, ptrace},
        {"rw,hidepid=4", false, true, ptrace},
        {"rw,hidepid=ptraceable", true, false, nullptr},
        {"rw,hidepid=ptraceable,subset=pid", true, false, nullptr},
        // a value the kernel would refuse: the most it may hide
        {"rw,hidepid=7", false, true, ptrace},
    };
    for (const auto &c : cases) {
        const char *const hides =
            proc_hides(proc_options_parse(c.super), c.may_ptrace_all, c.in_gid);
        EXPECT_STREQ(hides, c.hides) << c.super;
    }
    const std::tuple<const char *, long, bool> options[] = {
        {"rw,hidepid=invisible,gid=1000", 1000, false},
        {"rw", 0, false},
        {"rw,subset=pid", 0, true},
        {"rw,gid=x", -1, false},
        {"rw,gid=", -1, false},
    };
    for (const auto &[super, gid, subset] : options) {
        const proc_options read = proc_options_parse(super);
        EXPECT_EQ(read.gid, gid) << super;
        EXPECT_EQ(read.subset_pid, subset) << super;
    }
}

TEST(ProcText, TheKernelsListOfChildren) {
    const std::tuple<const char *, std::vector<long>> cases[] = {
        {"12 345 ", {12, 345}},   {"7", {7}},        {"", {}},    {"\n", {}},
        {"1 2 3 4 5", {1, 2, 3}}, {"12 x 13", {12}}, {"0 5", {}},
    };
    for (const auto &[list, want] : cases) {
        std::array<long, 3> pids{};
        const size_t count = children_parse(list, pids);
        EXPECT_EQ(std::vector<long>(pids.begin(), pids.begin() + static_cast<long>(count)), want)
            << list;
    }
}

} // namespace
