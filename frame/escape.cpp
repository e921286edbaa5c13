// SPDX-License-Identifier: MIT
#include "escape.h"

#include "text_part.h"

#include <cstdint>
#include <cstdio>

namespace {

// The most bytes one piece takes: a character of four bytes, each escaped.
constexpr size_t PIECE_MAX = (4 * ESCAPE_GROWTH) + 1;

// The escape of one byte below 0x80 into piece; its length.
size_t escape_ascii(char c, std::span<char, PIECE_MAX> piece) {
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

uint8_t byte_at(std::string_view text, size_t at) {
    return at < text.size() ? static_cast<uint8_t>(text[at]) : 0;
}

// The length of the UTF-8 character at the front of text, or 0 where its
// bytes are none: a lead byte and its continuations, no overlong form, no
// surrogate, nothing past U+10FFFF.
size_t utf8_length(std::string_view text) {
    const uint8_t lead = byte_at(text, 0);
    const uint8_t second = byte_at(text, 1);
    size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (second < low || second > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        const uint8_t next = byte_at(text, i);
        if (next < 0x80 || next > 0xbf) {
            return 0;
        }
    }
    return length;
}

// A character a reader may split a line on, or take for a control: the C1
// controls (U+0080 to U+009F, NEL among them), U+2028 and U+2029.
bool splits(std::string_view character) {
    const uint8_t lead = byte_at(character, 0);
    const uint8_t second = byte_at(character, 1);
    return (lead == 0xc2 && second <= 0x9f) ||
           (lead == 0xe2 && second == 0x80 &&
            (byte_at(character, 2) == 0xa8 || byte_at(character, 2) == 0xa9));
}

// The escape of the piece at the front of text into piece: its length in
// text, and in piece as written.
size_t escape_piece(std::string_view text, std::span<char, PIECE_MAX> piece, size_t &written) {
    const auto lead = static_cast<uint8_t>(text.front());
    if (lead < 0x80) {
        written = escape_ascii(text.front(), piece);
        return 1;
    }
    const size_t length = utf8_length(text);
    if (length > 0 && !splits(part(text, 0, length))) {
        for (size_t i = 0; i < length; ++i) {
            piece[i] = text[i];
        }
        written = length;
        return length;
    }
    // (no UTF-8, or a break: each of its bytes escaped)
    const size_t taken = length > 0 ? length : 1;
    for (size_t i = 0; i < taken; ++i) {
        snprintf(piece.subspan(i * ESCAPE_GROWTH).data(), piece.size() - (i * ESCAPE_GROWTH),
                 "\\x%02x", byte_at(text, i));
    }
    written = taken * ESCAPE_GROWTH;
    return taken;
}

} // namespace

size_t escape_text(std::string_view text, std::span<char> out) {
    if (out.empty()) {
        return 0;
    }
    size_t length = 0;
    while (!text.empty()) {
        char piece[PIECE_MAX]{};
        size_t size = 0;
        const size_t taken = escape_piece(text, piece, size);
        if (length + size >= out.size()) {
            break;
        }
        for (size_t i = 0; i < size; ++i) {
            out[length++] = std::span(piece)[i];
        }
        text.remove_prefix(taken);
    }
    out[length] = '\0';
    return length;
}
