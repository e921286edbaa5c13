// SPDX-License-Identifier: MIT
// Text from outside a program (a task's name, a path, a cgroup's name, a
// tool's output) made safe to print on one line of a report: no line break
// or other control character reaches the reader as it is.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Writes text into out with a terminating NUL, each control character and
// backslash escaped as C writes them: \n, \t, \r, \\, and \xHH for the rest
// (DEL among them); other bytes, UTF-8 among them, as they are. Where out is
// too small, the text is cut before the escape that would not fit whole.
// Returns the length written.
size_t escape_text(std::string_view text, std::span<char> out);

// The most bytes one byte of text takes once escaped.
inline constexpr size_t ESCAPE_GROWTH = 4;
