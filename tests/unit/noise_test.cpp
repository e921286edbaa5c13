// SPDX-License-Identifier: MIT
#include "noise.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::string format(const cpu_list &list) {
    std::array<char, CPU_LIST_TEXT_MAX> text{};
    cpu_list_format(list, text);
    return text.data();
}

// The headers of /proc/interrupts and /proc/softirqs: the CPU of each
// column, an offline CPU's missing.
TEST(Noise, TheCpusOfTheColumns) {
    const std::tuple<const char *, int, const char *, std::vector<int32_t>> cases[] = {
        {"            CPU0       CPU1       CPU2       CPU3       ", 4, "0-3", {0, 1, 2, 3}},
        {"                    CPU0       CPU1       ", 2, "0-1", {0, 1}},
        // CPU 1 offline: its column is gone
        {"           CPU0       CPU2       CPU3", 3, "0,2-3", {0, 2, 3}},
        {"           CPU63      CPU64      CPU65", 3, "63-65", {63, 64, 65}},
        {"", -1, "", {}},
        {"  0:        132          0  IO-APIC     2-edge      timer", -1, "", {}},
        {"           CPU0  CPUx", -1, "", {}},
        {"           CPU8192", -1, "", {}},
    };
    for (const auto &[line, columns, cpus, each] : cases) {
        std::array<int32_t, 8> column_cpu{};
        cpu_list list{};
        EXPECT_EQ(counters_header(line, column_cpu, list), columns) << line;
        if (columns > 0) {
            EXPECT_EQ(format(list), cpus) << line;
            EXPECT_EQ(std::vector<int32_t>(column_cpu.begin(), column_cpu.begin() + columns), each)
                << line;
        }
    }
    std::array<int32_t, 2> small{};
    cpu_list list{};
    EXPECT_EQ(counters_header(" CPU0 CPU1 CPU2", small, list), -1);
}

struct line_case {
    const char *line;
    const char *name; // nullptr: no line of the columns
    std::vector<uint64_t> counts;
    const char *rest;
    const char *handler;
    interrupt_kind kind;
};

// Lines of the kernels the VM suite boots, each architecture's: a count a
// column, what follows, the handler, the kind of source.
TEST(Noise, LinesOfInterruptsAndWhatTheyCount) {
    using k = interrupt_kind;
    const line_case cases[] = {
        // x86
        {"   0:        132          0          0          0  IO-APIC     2-edge      timer",
         "0",
         {132, 0, 0, 0},
         "IO-APIC     2-edge      timer",
         "timer",
         k::device},
        {"   1:          0          9          0          0  IO-APIC     1-edge      i8042",
         "1",
         {0, 9, 0, 0},
         "IO-APIC     1-edge      i8042",
         "i8042",
         k::device},
        {"  24:   0   0   3   0  IR-PCI-MSI 512000-edge      ahci[0000:00:1f.2], nvme0q0",
         "24",
         {0, 0, 3, 0},
         "IR-PCI-MSI 512000-edge      ahci[0000:00:1f.2], nvme0q0",
         "ahci[0000:00:1f.2], nvme0q0",
         k::device},
        {" LOC:       1454       1360        219        199  Local timer interrupts",
         "LOC",
         {1454, 1360, 219, 199},
         "Local timer interrupts",
         "Local timer interrupts",
         k::local_timer},
        {" CAL:        225        261         69         61  Function call interrupts",
         "CAL",
         {225, 261, 69, 61},
         "Function call interrupts",
         "Function call interrupts",
         k::per_cpu},
        {" NMI:          0          0          0          0  Non-maskable interrupts",
         "NMI",
         {0, 0, 0, 0},
         "Non-maskable interrupts",
         "Non-maskable interrupts",
         k::per_cpu},
        {" ERR:          0", nullptr, {}, "", "", k::per_cpu},
        {" MIS:          0", nullptr, {}, "", "", k::per_cpu},
        // arm64: the timer and the PMU on numbered lines, the IPIs named
        {"  11:       1022        958        107        106  GIC-0   27 Level     arch_timer",
         "11",
         {1022, 958, 107, 106},
         "GIC-0   27 Level     arch_timer",
         "arch_timer",
         k::local_timer},
        {"  17:          0          0          0          0  GIC-0   23 Level     arm-pmu",
         "17",
         {0, 0, 0, 0},
         "GIC-0   23 Level     arm-pmu",
         "arm-pmu",
         k::per_cpu},
        {"  13:          0          5          0          0  GIC-0   33 Level     uart-pl011",
         "13",
         {0, 5, 0, 0},
         "GIC-0   33 Level     uart-pl011",
         "uart-pl011",
         k::device},
        {"IPI1:        214        210         28         29  Function call interrupts",
         "IPI1",
         {214, 210, 28, 29},
         "Function call interrupts",
         "Function call interrupts",
         k::per_cpu},
        {" Err:          0", nullptr, {}, "", "", k::per_cpu},
        // powerpc: two LOC lines, the tick the first; an IPI numbered
        {" LOC:       1550       1402        168        166  Local timer interrupts for timer "
         "event device",
         "LOC",
         {1550, 1402, 168, 166},
         "Local timer interrupts for timer event device",
         "Local timer interrupts for timer event device",
         k::local_timer},
        {" LOC:          1          2          3          5  Local timer interrupts for others",
         "LOC",
         {1, 2, 3, 5},
         "Local timer interrupts for others",
         "Local timer interrupts for others",
         k::per_cpu},
        {"  16:        181        237          8          8  XIVE-IPI    0 Edge      IPI-0",
         "16",
         {181, 237, 8, 8},
         "XIVE-IPI    0 Edge      IPI-0",
         "IPI-0",
         k::per_cpu},
        {"  18:          0          0          0          0  XIVE-IRQ 4352 Edge      hvc_console",
         "18",
         {0, 0, 0, 0},
         "XIVE-IRQ 4352 Edge      hvc_console",
         "hvc_console",
         k::device},
        // s390x: classes of the CPU's own, the clock comparator its tick
        {"CLK:       1779       1761       1635       1620   [EXT] Clock Comparator",
         "CLK",
         {1779, 1761, 1635, 1620},
         "[EXT] Clock Comparator",
         "[EXT] Clock Comparator",
         k::local_timer},
        {"EXT:       2075       1993       1652       1636 ",
         "EXT",
         {2075, 1993, 1652, 1636},
         "",
         "",
         k::per_cpu},
        // riscv64
        {"  10:       1235       1155         94         97  RISC-V INTC    5 Edge      "
         "riscv-timer",
         "10",
         {1235, 1155, 94, 97},
         "RISC-V INTC    5 Edge      riscv-timer",
         "riscv-timer",
         k::local_timer},
        // softirqs
        {"         RCU:        457        158          1          4",
         "RCU",
         {457, 158, 1, 4},
         "",
         "",
         k::per_cpu},
        {"", nullptr, {}, "", "", k::per_cpu},
        {"  12:  5  0  0", nullptr, {}, "", "", k::per_cpu},
        {"  12:  5  0  0  x7  i8042", nullptr, {}, "", "", k::per_cpu},
    };
    for (const auto &c : cases) {
        std::array<uint64_t, 4> counts{};
        counter_line read{};
        ASSERT_EQ(counters_line(c.line, counts, read), c.name != nullptr) << c.line;
        if (c.name == nullptr) {
            continue;
        }
        EXPECT_EQ(read.name, c.name) << c.line;
        EXPECT_EQ(std::vector<uint64_t>(counts.begin(), counts.end()), c.counts) << c.line;
        EXPECT_EQ(read.rest, c.rest) << c.line;
        EXPECT_EQ(interrupt_handler(read.rest), c.handler) << c.line;
        EXPECT_EQ(interrupt_kind_of(read.name, read.rest), c.kind) << c.line;
    }
}

TEST(Noise, TimesOfEachCpu) {
    const std::tuple<const char *, bool, int32_t, uint64_t, uint64_t> stats[] = {
        {"cpu1 210 0 207 98 0 0 4 0 0 0", true, 1, 98, 519},
        {"cpu3 0 0 2 560 7 0 0 0 0 0", true, 3, 567, 569},
        // s390x: its steal time counts
        {"cpu2 0 0 407125406554 803 0 35 0 43234556225 0 0", true, 2, 803, 450359963617},
        // older kernels: fewer fields
        {"cpu0 1 2 3 4 5", true, 0, 9, 15},
        {"cpu  214 0 464 1542 0 0 8 0 0 0", false, 0, 0, 0},
        {"cpu4 1 2 3", false, 0, 0, 0},
        {"intr 4113 132 9", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const auto &[line, read, cpu, idle, total] : stats) {
        cpu_times times{};
        ASSERT_EQ(cpu_times_parse(line, times), read) << line;
        if (read) {
            EXPECT_EQ(times.cpu, cpu) << line;
            EXPECT_EQ(times.idle, idle) << line;
            EXPECT_EQ(times.total, total) << line;
        }
    }
    const std::tuple<const char *, bool, int32_t, uint64_t> waits[] = {
        {"cpu0 0 0 0 0 0 0 3076551807 1564442648 1113", true, 0, 1564442648},
        {"cpu3 0 0 0 0 0 0 26571884 6937717 16", true, 3, 6937717},
        {"domain0 MC 3 0 0 0 0", false, 0, 0},
        {"version 17", false, 0, 0},
        {"cpu1 0 0 0", false, 0, 0},
    };
    for (const auto &[line, read, cpu, wait] : waits) {
        int32_t got_cpu = -1;
        uint64_t got_wait = 0;
        ASSERT_EQ(cpu_wait_parse(line, got_cpu, got_wait), read) << line;
        if (read) {
            EXPECT_EQ(got_cpu, cpu) << line;
            EXPECT_EQ(got_wait, wait) << line;
        }
    }
}

// Busy for the whole window: idle under a tenth of it; the tick back: more
// than once a second.
TEST(Noise, TheQuietRule) {
    // idle ticks of 100 a second | seconds | busy
    const std::tuple<uint64_t, double, bool> busy[] = {
        {0, 10, true},     {99, 10, true}, {100, 10, false},
        {1000, 10, false}, {9, 1, true},   {10, 1, false},
    };
    for (const auto &[idle, seconds, want] : busy) {
        EXPECT_EQ(busy_all_window(idle, seconds, 100), want) << idle << " in " << seconds;
    }
    // ticks | seconds | the tick runs
    const std::tuple<uint64_t, double, bool> ticks[] = {
        {0, 10, false}, {6, 10, false},   {10, 10, false},
        {11, 10, true}, {2500, 10, true}, {3900, 10.2, true},
    };
    for (const auto &[count, seconds, want] : ticks) {
        EXPECT_EQ(tick_runs(count, seconds), want) << count << " in " << seconds;
    }
}

} // namespace
