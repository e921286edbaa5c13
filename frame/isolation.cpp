// SPDX-License-Identifier: MIT
#include "isolation.h"
#include "text_part.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Takes the next parameter off the front of text: up to a blank outside
// double quotes, as the kernel splits its command line.
std::string_view take_param(std::string_view &text) {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    bool quoted = false;
    size_t end = 0;
    for (; end < text.size() && (quoted || !is_blank(text[end])); ++end) {
        quoted = text[end] == '"' ? !quoted : quoted;
    }
    const std::string_view param = part(text, 0, end);
    text.remove_prefix(end);
    return param;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

namespace {

// A parameter's name as the kernel compares it: '-' and '_' alike.
bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] == '-' ? '_' : a[i];
        const char y = b[i] == '-' ? '_' : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// The parameters whose second setting the kernel refuses (the housekeeping
// CPUs, set once): the first one counts.
bool first_counts(std::string_view name) {
    return same_name(name, "isolcpus") || same_name(name, "nohz_full");
}

} // namespace

bool kernel_param(std::string_view cmdline, std::string_view name, std::string_view &value) {
    bool found = false;
    for (std::string_view param = take_param(cmdline); !param.empty() && param != "--";
         param = take_param(cmdline)) {
        // (the kernel takes the quotes off the name=value whole, or off the
        // value)
        if (param.starts_with('"')) {
            param.remove_prefix(1);
        }
        const size_t equals = param.find('=');
        if (equals == std::string_view::npos || !same_name(part(param, 0, equals), name)) {
            continue;
        }
        std::string_view rest = part(param, equals + 1);
        if (rest.starts_with('"')) {
            rest.remove_prefix(1);
        }
        if (rest.ends_with('"')) {
            rest.remove_suffix(1);
        }
        if (!found || !first_counts(name)) {
            value = rest;
        }
        found = true;
    }
    return found;
}

bool isolcpus_parse(std::string_view value, isolcpus_value &isolcpus) {
    isolcpus_value read;
    bool flagged = false;
    while (!value.empty() && is_letter(value.front())) {
        const std::string_view flag = take_until(value, ',');
        for (const char c : flag) {
            if (!is_letter(c) && c != '_') {
                return false;
            }
        }
        read.nohz = read.nohz || flag == "nohz";
        read.domain = read.domain || flag == "domain";
        read.managed_irq = read.managed_irq || flag == "managed_irq";
        flagged = flagged || flag == "nohz" || flag == "domain" || flag == "managed_irq";
    }
    read.domain = read.domain || !flagged;
    if (!cpu_list_parse(value, read.cpus)) {
        return false;
    }
    isolcpus = read;
    return true;
}

bool cpu_mask_text_parse(std::string_view text, cpu_list &cpus) {
    if (text.ends_with('\n')) {
        text.remove_suffix(1);
    }
    cpu_list read{};
    int word = 0;
    // the words from the last, the least significant
    while (!text.empty()) {
        const size_t comma = text.rfind(',');
        const std::string_view digits =
            comma == std::string_view::npos ? text : part(text, comma + 1);
        if (digits.empty() || digits.size() > 8) {
            return false;
        }
        for (size_t i = 0; i < digits.size(); ++i) {
            const int value = hex_digit(digits[digits.size() - 1 - i]);
            if (value < 0) {
                return false;
            }
            for (int bit = 0; bit < 4; ++bit) {
                const auto cpu =
                    static_cast<int32_t>((word * 32) + (static_cast<int>(i) * 4) + bit);
                if ((value & (1 << bit)) == 0) {
                    continue;
                }
                if (cpu >= CPU_LIST_CPUS) {
                    return false;
                }
                cpu_list_add(read, cpu, cpu);
            }
        }
        ++word;
        if (comma == std::string_view::npos) {
            break;
        }
        text = part(text, 0, comma);
        if (text.empty()) {
            return false;
        }
    }
    if (word == 0) {
        return false;
    }
    cpus = read;
    return true;
}

cpu_list task_strays(const cpu_list &allowed, const cpu_list &isolated,
                     const cpu_list &housekeeping) {
    if (cpu_list_count(cpu_list_both(allowed, housekeeping)) == 0) {
        return {};
    }
    return cpu_list_both(allowed, isolated);
}

cpu_list irq_strays(const cpu_list &affinity, const cpu_list &effective, const cpu_list &isolated,
                    const cpu_list &housekeeping) {
    if (cpu_list_count(cpu_list_both(affinity, housekeeping)) == 0) {
        return {};
    }
    return cpu_list_both(effective, isolated);
}

bool irqaffinity_holds(const cpu_list &asked, const cpu_list &shown) {
    const cpu_list added = cpu_list_but(shown, asked);
    return cpu_list_count(cpu_list_but(asked, shown)) == 0 && cpu_list_count(added) <= 1;
}
