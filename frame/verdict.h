// SPDX-License-Identifier: MIT
// Delivery of a verdict line: a line that did not reach standard output in
// full must never leave a pass behind.
#pragma once

// Ends a verdict line, given what printf returned for it: flushes and closes
// standard output, and returns status when the line was delivered in full.
// Otherwise prints "PROGRAM: write error: REASON" on standard error and
// returns status, or 1 in place of a pass (0), so that status 0 always means
// the pass line was delivered.
int deliver_verdict(const char *program_name, int printed, int status);
