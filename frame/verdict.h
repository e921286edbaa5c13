// SPDX-License-Identifier: MIT
// The verdict line: printed, and delivered in full, or never a pass. The
// texts of the lines of corehop and corenest have their one home here: the
// tools print them, corehop-sweep compares what the tools print with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The statuses of the verdicts: a pass, and a fail (the -1 of an entry
// function, as the platform reports it).
inline constexpr int PASS_STATUS = 0;
inline constexpr int FAIL_STATUS = 255;

// Prints a verdict line as printf prints format and its arguments, then
// flushes and closes standard output. Returns status when the line was
// delivered in full; otherwise prints "PROGRAM: write error: REASON" on
// standard error and returns status, or 1 in place of a pass, so that status
// 0 always means that the pass line was delivered.
[[gnu::format(printf, 3, 4)]] int print_verdict(const char *program_name, int status,
                                                const char *format, ...);

// The room a verdict line takes, with the platform's text of an error.
inline constexpr size_t VERDICT_LINE_MAX = 256;
// The verdict lines, without their line break, into line: corehop's pass,
// its fail (the move refused, or read back other), its fail of the read
// back; corenest's fail of its pin.
void move_pass_line(std::span<char> line, int32_t task, int32_t cpu);
void move_fail_line(std::span<char> line, int32_t task, int32_t cpu);
void move_read_fail_line(std::span<char> line, int32_t task, int32_t cpu, const char *reason);
void park_fail_line(std::span<char> line, long pid, int32_t cpu, const char *reason);
// The pid that corenest's fail line names, or -1 where line is none.
long park_fail_pid(std::string_view line);
