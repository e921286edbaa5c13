// SPDX-License-Identifier: MIT
// The report on standard output, and the one runner of checks: it counts
// the plan from the list of checks, runs each, and prints each verdict as
// it comes, every line whole and escaped, written as the reader takes it
// while the signals that end the run are heard.
#pragma once

#include "text.h"

#include <span>
#include <string_view>

// Where standard input, output or error is closed, something opened in its
// place, so that nothing else takes its number. Then standard output is
// checked: what cannot be written there (closed, or open for reading alone,
// as the read end of a pipe) is said.
unseen open_report();

// Writes bytes of the sweep's own (the help, a list of CPUs) as they are;
// false where they cannot be written, which is said on standard error.
bool put(std::string_view bytes);
// Writes a line, its every control character but the line break that ends
// it escaped; as put.
bool put_line(std::string_view line);

// The most verdicts one check gives.
inline constexpr int VERDICTS_MAX = 3;
// A check: a function that fills its verdicts, as many as it says it
// gives, and prints nothing; its context, and an argument (a CPU).
struct check {
    void (*run)(void *context, int argument, std::span<verdict> verdicts);
    void *context;
    int argument;
    int verdicts;
};

// The report of the checks in KTAP: the version, the plan (every verdict
// the checks give), the header's lines as diagnostics, then each check's
// verdicts, in order, as each ends. Returns the status: 1 where a check
// failed or the report could not be written, 4 where none passed, else 0.
int run_checks(std::span<const check> checks, const lines &header);
// A report of no check, for the reason: status 4 (1 where it could not be
// written).
int skip_all(const char *reason);
