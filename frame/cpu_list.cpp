// SPDX-License-Identifier: MIT
#include "cpu_list.h"

#include <cstdio>

namespace {

constexpr int32_t WORD_BITS = 64;
// A number of a list: at most 4 digits once its leading zeros are dropped.
constexpr int32_t MAX_NUMBER = 9999;

uint64_t &word_of(cpu_list &list, int32_t cpu) {
    return std::span(list.words)[static_cast<size_t>(cpu / WORD_BITS)];
}

uint64_t bit_of(int32_t cpu) {
    return uint64_t{1} << static_cast<unsigned>(cpu % WORD_BITS);
}

// Takes a decimal number off the front of text into value; false where text
// does not begin with one, or it is too long.
bool take_number(std::string_view &text, int32_t &value) {
    size_t digits = 0;
    int32_t number = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        number = number * 10 + (text[digits] - '0');
        if (number > MAX_NUMBER) {
            return false;
        }
        ++digits;
    }
    if (digits == 0) {
        return false;
    }
    text.remove_prefix(digits);
    value = number;
    return true;
}

bool take(std::string_view &text, char c) {
    if (text.empty() || text.front() != c) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

// One item of a list: N, N-M, or either with :USED/GROUP.
bool parse_item(std::string_view item, cpu_list &list) {
    int32_t first = 0;
    if (!take_number(item, first)) {
        return false;
    }
    int32_t last = first;
    if (take(item, '-') && !take_number(item, last)) {
        return false;
    }
    int32_t used = 1;
    int32_t group = 1;
    if (take(item, ':') &&
        !(take_number(item, used) && take(item, '/') && take_number(item, group))) {
        return false;
    }
    if (!item.empty() || first > last || last >= CPU_LIST_CPUS || used < 1 || used > group) {
        return false;
    }
    for (int32_t start = first; start <= last; start += group) {
        const int32_t end = start + used - 1;
        cpu_list_add(list, start, end < last ? end : last);
    }
    return true;
}

// Appends the run from first to last at offset in out, after a comma unless
// it is the first, keeping room for the NUL. Returns the new length.
size_t put_run(std::span<char> out, size_t offset, int32_t first, int32_t last) {
    const char *const separator = offset == 0 ? "" : ",";
    char *const at = out.subspan(offset).data();
    const size_t room = out.size() - offset;
    const int n = first == last ? snprintf(at, room, "%s%d", separator, first)
                                : snprintf(at, room, "%s%d-%d", separator, first, last);
    const size_t written = n < 0 ? 0 : static_cast<size_t>(n);
    return written < room ? offset + written : out.size() - 1;
}

} // namespace

bool cpu_list_parse(std::string_view text, cpu_list &list) {
    cpu_list parsed{};
    for (;;) {
        const size_t comma = text.find(',');
        if (!parse_item(text.substr(0, comma), parsed)) {
            return false;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    list = parsed;
    return true;
}

size_t cpu_list_format(const cpu_list &list, std::span<char> text) {
    if (text.empty()) {
        return 0;
    }
    text[0] = '\0';
    size_t length = 0;
    for (int32_t cpu = cpu_list_next(list, -1); cpu >= 0;) {
        const int32_t end = cpu_list_run_end(list, cpu);
        length = put_run(text, length, cpu, end);
        cpu = cpu_list_next(list, end);
    }
    return length;
}

bool cpu_list_has(const cpu_list &list, int32_t cpu) {
    if (cpu < 0 || cpu >= CPU_LIST_CPUS) {
        return false;
    }
    return (std::span(list.words)[static_cast<size_t>(cpu / WORD_BITS)] & bit_of(cpu)) != 0;
}

void cpu_list_add(cpu_list &list, int32_t first, int32_t last) {
    for (int32_t cpu = first; cpu <= last; ++cpu) {
        word_of(list, cpu) |= bit_of(cpu);
    }
}

cpu_list cpu_list_both(const cpu_list &a, const cpu_list &b) {
    cpu_list both{};
    for (size_t i = 0; i < std::size(both.words); ++i) {
        std::span(both.words)[i] = std::span(a.words)[i] & std::span(b.words)[i];
    }
    return both;
}

cpu_list cpu_list_but(const cpu_list &a, const cpu_list &b) {
    cpu_list but{};
    for (size_t i = 0; i < std::size(but.words); ++i) {
        std::span(but.words)[i] = std::span(a.words)[i] & ~std::span(b.words)[i];
    }
    return but;
}

int32_t cpu_list_count(const cpu_list &list) {
    int32_t count = 0;
    for (const uint64_t word : list.words) {
        // (bit by bit: the machine may have no instruction, and the
        // compiler's helper would need its library at run time)
        for (uint64_t rest = word; rest != 0; rest &= rest - 1) {
            ++count;
        }
    }
    return count;
}

int32_t cpu_list_next(const cpu_list &list, int32_t cpu) {
    for (int32_t next = cpu + 1; next < CPU_LIST_CPUS;) {
        const uint64_t rest = std::span(list.words)[static_cast<size_t>(next / WORD_BITS)] >>
                              static_cast<unsigned>(next % WORD_BITS);
        if (rest != 0) {
            int32_t zeros = 0;
            for (uint64_t bits = rest; (bits & 1) == 0; bits >>= 1) {
                ++zeros;
            }
            return next + zeros;
        }
        next = (next / WORD_BITS + 1) * WORD_BITS;
    }
    return -1;
}

int32_t cpu_list_last(const cpu_list &list) {
    for (size_t i = std::size(list.words); i-- > 0;) {
        const uint64_t word = std::span(list.words)[i];
        if (word != 0) {
            int32_t top = WORD_BITS - 1;
            while ((word >> static_cast<unsigned>(top)) == 0) {
                --top;
            }
            return (static_cast<int32_t>(i) * WORD_BITS) + top;
        }
    }
    return -1;
}

int32_t cpu_list_run_end(const cpu_list &list, int32_t cpu) {
    while (cpu + 1 < CPU_LIST_CPUS && cpu_list_has(list, cpu + 1)) {
        ++cpu;
    }
    return cpu;
}
