// SPDX-License-Identifier: MIT
// The verdict line: printed, and delivered in full, or never a pass.
#pragma once

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
