// SPDX-License-Identifier: MIT
// The sweep's texts: a text built in place, the lines of a diagnostic, the
// verdict of a check, and messages on standard error. The lowest of the
// sweep's files: it calls none of the others.
//
// The files, each calling only those below it: text, lifetime (the run's
// signals, and what is undone on every way out), report (the report and the
// runner of checks), children (the tools and helpers it starts), machine
// (what it reads of the machine), scan (every task and interrupt), hotplug
// (-H), window (-i -w), audit (-i), moves (the sweep's checks),
// corehop-sweep (main).
#pragma once

#include "cpu_list.h"
#include "files.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The bytes kept of a tool's output.
inline constexpr size_t OUTPUT_MAX = 4096;
// A line of the report: a description or what was expected or came, which
// may hold a list of CPUs, a tool's output and paths.
inline constexpr size_t LINE_MAX_BYTES = CPU_LIST_TEXT_MAX + OUTPUT_MAX + (2 * PATH_TEXT_MAX);

// A text built in place, cut at its size. It may hold any byte, NUL among
// them: its length says where it ends.
struct text {
    char s[LINE_MAX_BYTES];
    size_t length;
};
[[gnu::format(printf, 2, 3)]] void text_set(text &t, const char *format, ...);
// Adds to its end, formatted, or bytes as they are.
[[gnu::format(printf, 2, 3)]] void text_add(text &t, const char *format, ...);
void text_add_bytes(text &t, std::string_view bytes);
std::string_view view(const text &t);

// The lines of a diagnostic: each line's end kept apart from its bytes, so
// that a line break of outside text (a task's name) stays one of its bytes,
// while a tool's own lines stay lines.
inline constexpr int LINES_MAX = 48;
struct lines {
    text bytes;
    uint32_t ends[LINES_MAX];
    int count;
};
// A new line, formatted, or of bytes as they are.
[[gnu::format(printf, 2, 3)]] void lines_add(lines &l, const char *format, ...);
void lines_add_bytes(lines &l, std::string_view bytes);
// Adds to the last line (a first one where there is none), formatted, or
// bytes as they are.
[[gnu::format(printf, 2, 3)]] void lines_append(lines &l, const char *format, ...);
void lines_append_bytes(lines &l, std::string_view bytes);
// Adds output's own lines to the last line: its first line to it, the
// others as lines of their own.
void lines_append_output(lines &l, std::string_view output);
void lines_clear(lines &l);
std::string_view line_of(const lines &l, int index);
bool lines_equal(const lines &a, const lines &b);

// What a check found: ok; not ok, with what was expected and what came; or
// skipped, with the reason. Its name comes first; notes, of what it saw,
// may follow any of them.
enum class outcome : uint8_t { ok, not_ok, skip };
struct verdict {
    outcome is;
    text name;
    lines want;
    lines got;
    text reason;
    lines notes;
};
[[gnu::format(printf, 2, 3)]] void verdict_name(verdict &v, const char *format, ...);
// ok where got is want, else not ok with both.
void verdict_judge(verdict &v);
[[gnu::format(printf, 2, 3)]] void verdict_skip(verdict &v, const char *format, ...);
// A skip, for what could not be seen.
void verdict_unseen(verdict &v, const unseen &u);
// Empty, before a check fills it.
void verdict_clear(verdict &v);

// "corehop-sweep: MESSAGE" on standard error, formatted as printf does,
// each control character but the line break that ends it escaped.
[[gnu::format(printf, 1, 2)]] void complain(const char *format, ...);
[[gnu::format(printf, 1, 0)]] void complain_v(const char *format, va_list arguments);
// The escape of a whole line, the line break that ends it aside, into
// escaped: its length there.
size_t escape_line(std::string_view line, std::span<char> escaped);
