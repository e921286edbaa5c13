// SPDX-License-Identifier: MIT
#include "noise.h"
#include "text_part.h"
#include <algorithm>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (is_blank(text.front()) || text.front() == '\n')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (is_blank(text.back()) || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

// Takes a decimal number off the front of text, blanks before it; false
// where none begins there.
bool take_count(std::string_view &text, uint64_t &value) {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    size_t digits = 0;
    uint64_t number = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 20) {
        number = (number * 10) + static_cast<uint64_t>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0 || (digits < text.size() && !is_blank(text[digits]) && text[digits] != '\n')) {
        return false;
    }
    value = number;
    text.remove_prefix(digits);
    return true;
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

// Each architecture's local timer, as its line of /proc/interrupts names it:
// by its name and what it is, or by its handler's name.
struct local_timer {
    std::string_view name;
    std::string_view rest;
    std::string_view handler;
};
constexpr local_timer LOCAL_TIMERS[] = {
    // x86
    {.name = "LOC", .rest = "Local timer interrupts", .handler = ""},
    // powerpc (its second LOC line counts the other timers' events)
    {.name = "LOC", .rest = "Local timer interrupts for timer event device", .handler = ""},
    // arm64 and arm
    {.name = "", .rest = "", .handler = "arch_timer"},
    // riscv64
    {.name = "", .rest = "", .handler = "riscv-timer"},
    // s390x: the clock comparator
    {.name = "CLK", .rest = "[EXT] Clock Comparator", .handler = ""},
};

} // namespace

int counters_header(std::string_view line, std::span<int32_t> column_cpu, cpu_list &cpus) {
    cpus = cpu_list{};
    int columns = 0;
    for (std::string_view rest = trimmed(line); !rest.empty(); rest = trimmed(rest)) {
        std::string_view token = take_until(rest, ' ');
        uint64_t cpu = 0;
        if (!token.starts_with("CPU") || static_cast<size_t>(columns) >= column_cpu.size()) {
            return -1;
        }
        token.remove_prefix(3);
        if (!take_count(token, cpu) || !token.empty() || cpu >= CPU_LIST_CPUS) {
            return -1;
        }
        column_cpu[static_cast<size_t>(columns++)] = static_cast<int32_t>(cpu);
        cpu_list_add(cpus, static_cast<int32_t>(cpu), static_cast<int32_t>(cpu));
    }
    return columns > 0 ? columns : -1;
}

bool counters_line(std::string_view line, std::span<uint64_t> counts, counter_line &read) {
    std::string_view rest = trimmed(line);
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    const std::string_view name = part(rest, 0, colon);
    for (const char c : name) {
        if (is_blank(c)) {
            return false;
        }
    }
    rest.remove_prefix(colon + 1);
    for (uint64_t &count : counts) {
        if (!take_count(rest, count)) {
            return false;
        }
    }
    read = counter_line{.name = name, .rest = trimmed(rest)};
    return true;
}

std::string_view interrupt_handler(std::string_view rest) {
    const size_t last = rest.rfind("  ");
    return last == std::string_view::npos ? rest : trimmed(part(rest, last));
}

interrupt_kind interrupt_kind_of(std::string_view name, std::string_view rest) {
    const std::string_view handler = interrupt_handler(rest);
    for (const local_timer &timer : LOCAL_TIMERS) {
        if ((!timer.name.empty() && name == timer.name && rest == timer.rest) ||
            (!timer.handler.empty() && all_digits(name) && handler == timer.handler)) {
            return interrupt_kind::local_timer;
        }
    }
    if (!all_digits(name)) {
        return interrupt_kind::per_cpu;
    }
    // (an IPI or the PMU on a numbered line: powerpc's XIVE-IPI, arm-pmu)
    const std::string_view chip = take_until(rest, ' ');
    if (chip.find("IPI") != std::string_view::npos ||
        handler.find("IPI") != std::string_view::npos ||
        handler.find("pmu") != std::string_view::npos) {
        return interrupt_kind::per_cpu;
    }
    return interrupt_kind::device;
}

bool cpu_times_parse(std::string_view line, cpu_times &times) {
    if (!line.starts_with("cpu") || line.size() < 4 || line[3] < '0' || line[3] > '9') {
        return false;
    }
    std::string_view rest = part(line, 3);
    uint64_t cpu = 0;
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') {
        cpu = (cpu * 10) + static_cast<uint64_t>(rest[digits] - '0');
        ++digits;
    }
    rest.remove_prefix(digits);
    // user nice system idle iowait irq softirq steal (guest's are in user's)
    uint64_t fields[8]{};
    int read = 0;
    for (uint64_t &field : fields) {
        if (!take_count(rest, field)) {
            break;
        }
        ++read;
    }
    if (read < 5 || cpu >= CPU_LIST_CPUS) {
        return false;
    }
    uint64_t total = 0;
    for (const uint64_t field : fields) {
        total += field;
    }
    times = cpu_times{.cpu = static_cast<int32_t>(cpu),
                      .idle = std::span(fields)[3] + std::span(fields)[4],
                      .total = total};
    return true;
}

bool cpu_wait_parse(std::string_view line, int32_t &cpu, uint64_t &wait_ns) {
    if (!line.starts_with("cpu") || line.size() < 4 || line[3] < '0' || line[3] > '9') {
        return false;
    }
    std::string_view rest = part(line, 3);
    uint64_t number = 0;
    if (!take_count(rest, number) || number >= CPU_LIST_CPUS) {
        return false;
    }
    // yld_count, an old field, sched_count, sched_goidle, ttwu_count,
    // ttwu_local, then the time run and the time waited
    uint64_t fields[8]{};
    for (uint64_t &field : fields) {
        if (!take_count(rest, field)) {
            return false;
        }
    }
    cpu = static_cast<int32_t>(number);
    wait_ns = std::span(fields)[7];
    return true;
}

bool busy_all_window(uint64_t idle_ticks, double seconds, long clock_ticks) {
    return static_cast<double>(idle_ticks) < seconds * static_cast<double>(clock_ticks) / 10.0;
}

bool tick_runs(uint64_t ticks, double seconds) {
    return static_cast<double>(ticks) > seconds;
}
