// SPDX-License-Identifier: MIT
#include "escape.h"

#include <array>
#include <gtest/gtest.h>
#include <string>

namespace {

// What a report shows of outside text: one line, every control character
// and backslash escaped, so that no name or output can start a line of its
// own ("Bail out!", a forged result) or move the reader's cursor.
TEST(Escape, NoControlCharacterReachesTheReport) {
    using namespace std::string_literals;
    const std::pair<std::string, const char *> cases[] = {
        {"(corenest)", "(corenest)"},
        {"", ""},
        // a task that names itself to forge the report
        {"a\nBail out! zz", "a\\nBail out! zz"},
        {"x\nok 99 forged", "x\\nok 99 forged"},
        {"\r# overwritten", "\\r# overwritten"},
        {"tab\there", "tab\\there"},
        // a backslash is escaped too, so that each escape reads one way
        {"sub\\x2dunit.service", "sub\\\\x2dunit.service"},
        {"a\\nb", "a\\\\nb"},
        // terminal escapes, DEL and NUL
        {"\x1b[2J", "\\x1b[2J"},
        {"del\x7f", "del\\x7f"},
        {"nul\0end"s, "nul\\x00end"},
        // bytes past ASCII, as UTF-8 names have them, stay as they are
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"\xff", "\xff"},
    };
    for (const auto &[text, want] : cases) {
        std::array<char, 64> out{};
        const size_t length = escape_text(text, out);
        EXPECT_STREQ(out.data(), want) << text;
        EXPECT_EQ(length, std::string(want).size()) << text;
    }
}

// Cut at the room, never inside an escape.
TEST(Escape, CutWholeAtTheRoom) {
    const std::tuple<const char *, size_t, const char *> cases[] = {
        {"abcdef", 4, "abc"}, {"ab\ncd", 4, "ab"},    {"ab\ncd", 5, "ab\\n"},
        {"a\x01", 5, "a"},    {"a\x01", 6, "a\\x01"}, {"abc", 1, ""},
    };
    for (const auto &[text, room, want] : cases) {
        std::array<char, 16> out{};
        out.fill('#');
        escape_text(text, std::span(out).first(room));
        EXPECT_STREQ(out.data(), want) << text << " in " << room;
    }
    EXPECT_EQ(escape_text("abc", std::span<char>()), 0U);
}

} // namespace
