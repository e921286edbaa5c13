// SPDX-License-Identifier: MIT
// Text from outside a program (a task's name, a path, a cgroup's name, a
// tool's output) made safe to print on one line of a report: no line break
// a reader may split on, and no other control character, reaches it as it
// is.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Writes text into out with a terminating NUL, each control character and
// backslash escaped as C writes them: \n, \t, \r, \\, and \xHH for the rest
// (DEL among them). UTF-8 stays as it is but for what a reader may take for
// a line break or a control (NEL and the other C1 controls, U+2028, U+2029)
// and the bytes that are no UTF-8, each byte of which is written \xHH. Where
// out is too small, the text is cut before the escape or the character that
// would not fit whole. Returns the length written.
size_t escape_text(std::string_view text, std::span<char> out);

// The most bytes one byte of text takes once escaped.
inline constexpr size_t ESCAPE_GROWTH = 4;
