// SPDX-License-Identifier: MIT
// Command-line frame shared by the tools: option scanning, the usage failure
// and the conversion of option values.
#pragma once

#include <cstdint>
#include <span>

// The value of an option that was not given. An option given as -1 counts as
// not given too.
inline constexpr int32_t NOT_GIVEN = -1;

// Converts the text of an option value as atoi does (leading white space, an
// optional sign, then the decimal digits up to the first other character;
// text that does not begin with a number gives 0), except that numbers beyond
// the 32-bit range saturate to INT32_MAX or INT32_MIN instead of wrapping.
int32_t option_value(const char *text);

// Prints the usage line naming program_name (never null) on standard error
// and ends the process with status 2.
[[noreturn]] void usage_failure(const char *program_name);

// Scans argv with getopt and option_string, which lists each value option as
// its letter and a colon and ends with '?'. values holds one slot per value
// option, in the order of their letters in option_string; each slot ends with
// the last value given for its option, or NOT_GIVEN. Returns only when every
// value option was given; otherwise ends the process through usage_failure.
// Returns the program name for messages: argv[0], or own_name where argv[0]
// is absent or empty.
const char *scan_command_line(int argc, char *argv[], const char *own_name,
                              const char *option_string, std::span<int32_t *const> values);
