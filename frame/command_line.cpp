// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int32_t option_value(const char *text) {
    // strtol reads the same syntax as atoi and saturates at the 64-bit
    // bounds, which lie beyond the 32-bit ones.
    const long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

void usage_failure(const char *program_name) {
    fprintf(stderr, "\nerr:cmd %s param is incorrect!\n", program_name);
    exit(2);
}

namespace {

// The slot of a value option: the number of value options before it in the
// option string, or -1 for a letter that takes no value.
int value_slot(const char *option_string, int letter) {
    int slot = 0;
    for (const char *p = option_string; *p != '\0'; ++p) {
        if (*p != ':' && p[1] == ':') {
            if (*p == letter) {
                return slot;
            }
            ++slot;
        }
    }
    return -1;
}

} // namespace

const char *scan_command_line(int argc, char *argv[], const char *own_name,
                              const char *option_string, std::span<int32_t *const> values) {
    const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
    const char *const program_name = named ? argv[0] : own_name;

    for (int32_t *value : values) {
        *value = NOT_GIVEN;
    }
    for (int option = getopt(argc, argv, option_string); option != -1;
         option = getopt(argc, argv, option_string)) {
        if (option == '?') {
            usage_failure(program_name);
        }
        const int slot = value_slot(option_string, option);
        if (slot >= 0 && static_cast<size_t>(slot) < values.size()) {
            *values[static_cast<size_t>(slot)] = option_value(optarg);
        }
    }

    for (const int32_t *value : values) {
        if (*value == NOT_GIVEN) {
            usage_failure(program_name);
        }
    }
    return program_name;
}
