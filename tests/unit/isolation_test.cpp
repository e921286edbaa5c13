// SPDX-License-Identifier: MIT
#include "isolation.h"

#include <array>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string format(const cpu_list &list) {
    std::array<char, CPU_LIST_TEXT_MAX> text{};
    cpu_list_format(list, text);
    return text.data();
}

cpu_list list_of(const char *text) {
    cpu_list list{};
    if (text[0] != '\0') {
        EXPECT_TRUE(cpu_list_parse(text, list)) << text;
    }
    return list;
}

// Kernel command lines as /proc/cmdline holds them.
TEST(Isolation, KernelParametersAsTheKernelSplitsThem) {
    const std::tuple<const char *, const char *, const char *> cases[] = {
        {"BOOT_IMAGE=/vmlinuz root=/dev/vda1 isolcpus=2-3 quiet\n", "isolcpus", "2-3"},
        {"isolcpus=1 nohz_full=2-3", "nohz_full", "2-3"},
        // of isolcpus= and nohz_full=, set once, the first counts; of the
        // others the last
        {"isolcpus=1 isolcpus=domain,2-3", "isolcpus", "1"},
        {"nohz_full=3 nohz_full=2-3", "nohz_full", "3"},
        {"irqaffinity=0 irqaffinity=0-1", "irqaffinity", "0-1"},
        // '-' and '_' alike in the name, not in the value
        {"nohz-full=2-3", "nohz_full", "2-3"},
        {"nohz_full=2 nohz-full=3", "nohz-full", "2"},
        {"irq-affinity=0", "irqaffinity", nullptr},
        {"isolcpus=a-b_c", "isolcpus", "a-b_c"},
        // whole names alone
        {"xisolcpus=1 isolcpus_x=2", "isolcpus", nullptr},
        {"isolcpus", "isolcpus", nullptr},
        {"irqaffinity=0-1", "isolcpus", nullptr},
        {"isolcpus=", "isolcpus", ""},
        // quotes, around the value or the whole
        {"a=\"x y\" isolcpus=\"3\"", "isolcpus", "3"},
        {"\"isolcpus=2-3\" b", "isolcpus", "2-3"},
        {"a=\"isolcpus=9 x\" isolcpus=1", "isolcpus", "1"},
        {"a=\"isolcpus=9\"", "isolcpus", nullptr},
        // init's arguments, after a lone --
        {"quiet -- isolcpus=1", "isolcpus", nullptr},
        {"", "isolcpus", nullptr},
        {"\t isolcpus=0\t", "isolcpus", "0"},
    };
    for (const auto &[cmdline, name, want] : cases) {
        std::string_view value = "(untouched)";
        const bool found = kernel_param(cmdline, name, value);
        EXPECT_EQ(found, want != nullptr) << cmdline;
        if (found && want != nullptr) {
            EXPECT_EQ(value, want) << cmdline;
        }
    }
}

struct isolcpus_case {
    const char *value;
    const char *cpus; // nullptr: the kernel ignores the parameter
    bool nohz;
    bool domain;
    bool managed_irq;
};

TEST(Isolation, IsolcpusFlagsAndList) {
    const isolcpus_case cases[] = {
        // no flag: domain alone
        {"2-3", "2-3", false, true, false},
        {"domain,1-2", "1-2", false, true, false},
        {"nohz,domain,managed_irq,1", "1", true, true, true},
        {"managed_irq,3", "3", false, false, true},
        {"nohz,2-3", "2-3", true, false, false},
        // a flag it does not know is passed over; alone, it leaves domain
        {"rt,2-3", "2-3", false, true, false},
        {"nohz,future_flag,2", "2", true, false, false},
        // a flag of other characters, or no list: ignored whole
        {"nohz2,2", nullptr, false, false, false},
        {"domain", nullptr, false, false, false},
        {"domain,", nullptr, false, false, false},
        {"", nullptr, false, false, false},
        {"2-1", nullptr, false, false, false},
        {"0-7:2/4", "0-1,4-5", false, true, false},
    };
    for (const auto &c : cases) {
        isolcpus_value read;
        const bool parsed = isolcpus_parse(c.value, read);
        ASSERT_EQ(parsed, c.cpus != nullptr) << c.value;
        if (parsed) {
            EXPECT_EQ(format(read.cpus), c.cpus) << c.value;
            EXPECT_EQ(read.nohz, c.nohz) << c.value;
            EXPECT_EQ(read.domain, c.domain) << c.value;
            EXPECT_EQ(read.managed_irq, c.managed_irq) << c.value;
        }
    }
}

// default_smp_affinity, the workqueues' cpumask, as each width of machine
// writes them.
TEST(Isolation, HexadecimalMasks) {
    const std::pair<const char *, const char *> cases[] = {
        {"f\n", "0-3"},
        {"3", "0-1"},
        {"9", "0,3"},
        {"00000000,0000000f", "0-3"},
        {"ff,ffffffff", "0-39"},
        {"80000000,00000000", "63"},
        {"1,00000000,00000000", "64"},
        {"0", ""},
        {"A", "1,3"},
        {"", nullptr},
        {",f", nullptr},
        {"f,", nullptr},
        {"123456789", nullptr},
        {"g", nullptr},
        {"f f", nullptr},
    };
    for (const auto &[text, want] : cases) {
        cpu_list read = list_of("5000");
        const bool parsed = cpu_mask_text_parse(text, read);
        ASSERT_EQ(parsed, want != nullptr) << text;
        EXPECT_EQ(format(read), parsed ? want : "5000") << text;
    }
    // 8192 CPUs, the most a list holds, and one past them
    std::string all = "ffffffff";
    for (int word = 1; word < 256; ++word) {
        all += ",ffffffff";
    }
    cpu_list read{};
    EXPECT_TRUE(cpu_mask_text_parse(all, read));
    EXPECT_EQ(format(read), "0-8191");
    EXPECT_FALSE(cpu_mask_text_parse("1," + all, read));
}

struct stray_case {
    const char *allowed; // a task's CPUs, or an interrupt's affinity
    const char *effective;
    const char *task;
    const char *irq;
};

// CPUs 2-3 isolated, 0-1 the housekeeping ones.
TEST(Isolation, WhatStraysOntoTheIsolatedCpus) {
    const stray_case cases[] = {
        // every CPU: it may run on the isolated ones, and does where it lands
        {"0-3", "3", "2-3", "3"},
        {"0-3", "0", "2-3", ""},
        // the housekeeping CPUs alone
        {"0-1", "1", "", ""},
        // isolated CPUs alone: put there on purpose, a per-CPU kernel thread
        {"3", "3", "", ""},
        {"2-3", "2", "", ""},
        // one of each
        {"1,3", "3", "3", "3"},
        // offline CPUs 4-7 change nothing
        {"2-7", "2", "", ""},
        {"0,4-7", "0", "", ""},
        // a housekeeping CPU counts offline too: the task may use it once it
        // is back
        {"1-2", "2", "2", "2"},
    };
    const cpu_list isolated = list_of("2-3");
    const cpu_list housekeeping = list_of("0-1");
    for (const auto &c : cases) {
        EXPECT_EQ(format(task_strays(list_of(c.allowed), isolated, housekeeping)), c.task)
            << c.allowed;
        EXPECT_EQ(
            format(irq_strays(list_of(c.allowed), list_of(c.effective), isolated, housekeeping)),
            c.irq)
            << c.allowed << " on " << c.effective;
    }
}

// irqaffinity= as the kernel takes it: its CPUs, and the boot CPU, which it
// adds where the list lacks it.
TEST(Isolation, IrqaffinityWithTheBootCpu) {
    const std::tuple<const char *, const char *, bool> cases[] = {
        {"1", "0-1", true},     {"1", "1", true},      {"0-1", "0-1", true},
        {"2-3", "0,2-3", true}, {"2-3", "0-3", false}, {"2-3", "2", false},
        {"1", "0,2", false},    {"0,3", "0,3", true},  {"0,3", "0-1,3", true},
    };
    for (const auto &[asked, shown, holds] : cases) {
        EXPECT_EQ(irqaffinity_holds(list_of(asked), list_of(shown)), holds)
            << asked << " shown " << shown;
    }
}

} // namespace
