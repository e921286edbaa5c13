// SPDX-License-Identifier: MIT
#include "escape.h"

#include <cstdio>

namespace {

// The escape of one byte into piece; its length.
size_t escape_byte(char c, std::span<char, ESCAPE_GROWTH + 1> piece) {
    switch (c) {
    case '\n':
        piece[1] = 'n';
        break;
    case '\t':
        piece[1] = 't';
        break;
    case '\r':
        piece[1] = 'r';
        break;
    case '\\':
        piece[1] = '\\';
        break;
    default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            piece[0] = c;
            return 1;
        }
        snprintf(piece.data(), piece.size(), "\\x%02x", byte);
        return ESCAPE_GROWTH;
    }
    }
    piece[0] = '\\';
    return 2;
}

} // namespace

size_t escape_text(std::string_view text, std::span<char> out) {
    if (out.empty()) {
        return 0;
    }
    size_t length = 0;
    for (const char c : text) {
        char piece[ESCAPE_GROWTH + 1]{};
        const size_t size = escape_byte(c, piece);
        if (length + size >= out.size()) {
            break;
        }
        for (size_t i = 0; i < size; ++i) {
            out[length++] = std::span(piece)[i];
        }
    }
    out[length] = '\0';
    return length;
}
