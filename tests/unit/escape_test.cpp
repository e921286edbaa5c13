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
        // UTF-8, as names have it, stays as it is
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"\xe2\x82\xac \xf0\x9f\x98\x80", "\xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xed\x9f\xbf", "\xed\x9f\xbf"},
        // but what a reader may split a line on (NEL and the other C1
        // controls, U+2028, U+2029), escaped byte by byte
        {"a\xc2\x85ok 9 x", "a\\xc2\\x85ok 9 x"},
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xa9"
         "c",
         "a\\xe2\\x80\\xa8"
         "b\\xe2\\x80\\xa9"
         "c"},
        {"\xc2\x9b"
         "2J",
         "\\xc2\\x9b"
         "2J"},
        {"\xe2\x80\xaa", "\xe2\x80\xaa"},
        // and bytes that are no UTF-8: stray, cut short, overlong, a
        // surrogate, past U+10FFFF
        {"\xff", "\\xff"},
        {"\x85", "\\x85"},
        {"\xe2\x80", "\\xe2\\x80"},
        {"\xc0\x8a", "\\xc0\\x8a"},
        {"\xe0\x80\x8a", "\\xe0\\x80\\x8a"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
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
        {"abcdef", 4, "abc"},
        {"ab\ncd", 4, "ab"},
        {"ab\ncd", 5, "ab\\n"},
        {"a\x01", 5, "a"},
        {"a\x01", 6, "a\\x01"},
        {"abc", 1, ""},
        // a character of several bytes, whole or not at all
        {"a\xc3\xa9", 3, "a"},
        {"a\xc3\xa9", 4, "a\xc3\xa9"},
        {"a\xc2\x85", 8, "a"},
        {"a\xc2\x85", 10, "a\\xc2\\x85"},
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
