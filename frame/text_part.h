// SPDX-License-Identifier: MIT
// Parts of a text that never throw: std::string_view::substr throws past the
// end, which a program built without exceptions must not call.
#pragma once

#include <algorithm>
#include <string_view>

// The part of text from pos, at most count characters; empty past its end.
constexpr std::string_view part(std::string_view text, size_t pos,
                                size_t count = std::string_view::npos) {
    if (pos > text.size()) {
        return {};
    }
    return {text.data() + pos, std::min(count, text.size() - pos)};
}

// Takes the part of text up to the first separator off its front, the
// separator too: the whole of text where there is none.
constexpr std::string_view take_until(std::string_view &text, char separator) {
    const size_t at = text.find(separator);
    const std::string_view taken = part(text, 0, at);
    text.remove_prefix(at == std::string_view::npos ? text.size() : at + 1);
    return taken;
}
