// SPDX-License-Identifier: MIT
#include "text.h"
#include "escape.h"
#include "text_part.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

void text_add_v(text &t, const char *format, va_list arguments) {
    const std::span<char> room = std::span(t.s).subspan(t.length);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the caller's va_start set it
    const int n = vsnprintf(room.data(), room.size(), format, arguments);
    t.length += n < 0 ? 0 : std::min(static_cast<size_t>(n), room.size() - 1);
}

// A new line of l, where there is room for one: the last line is then the
// one bytes go to.
void lines_open(lines &l) {
    if (l.count < LINES_MAX) {
        std::span(l.ends)[static_cast<size_t>(l.count++)] = static_cast<uint32_t>(l.bytes.length);
    }
}

// The last line takes what bytes now hold.
void lines_close(lines &l) {
    if (l.count == 0) {
        lines_open(l);
    }
    std::span(l.ends)[static_cast<size_t>(l.count - 1)] = static_cast<uint32_t>(l.bytes.length);
}

} // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void text_set(text &t, const char *format, ...) {
    t.length = 0;
    t.s[0] = '\0';
    va_list arguments;
    va_start(arguments, format);
    text_add_v(t, format, arguments);
    va_end(arguments);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void text_add(text &t, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    text_add_v(t, format, arguments);
    va_end(arguments);
}

void text_add_bytes(text &t, std::string_view bytes) {
    const size_t take = std::min(bytes.size(), sizeof t.s - 1 - t.length);
    memcpy(std::span(t.s).subspan(t.length).data(), bytes.data(), take);
    t.length += take;
    std::span(t.s)[t.length] = '\0';
}

std::string_view view(const text &t) {
    return {t.s, t.length};
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void lines_add(lines &l, const char *format, ...) {
    lines_open(l);
    va_list arguments;
    va_start(arguments, format);
    text_add_v(l.bytes, format, arguments);
    va_end(arguments);
    lines_close(l);
}

void lines_add_bytes(lines &l, std::string_view bytes) {
    lines_open(l);
    text_add_bytes(l.bytes, bytes);
    lines_close(l);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void lines_append(lines &l, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    text_add_v(l.bytes, format, arguments);
    va_end(arguments);
    lines_close(l);
}

void lines_append_bytes(lines &l, std::string_view bytes) {
    text_add_bytes(l.bytes, bytes);
    lines_close(l);
}

void lines_append_output(lines &l, std::string_view output) {
    for (bool first = true;; first = false) {
        const size_t end = output.find('\n');
        if (!first) {
            lines_open(l);
        }
        lines_append_bytes(l, part(output, 0, end));
        if (end == std::string_view::npos) {
            return;
        }
        output.remove_prefix(end + 1);
    }
}

void lines_clear(lines &l) {
    l.bytes.length = 0;
    l.bytes.s[0] = '\0';
    l.count = 0;
}

std::string_view line_of(const lines &l, int index) {
    const size_t start = index == 0 ? 0 : std::span(l.ends)[static_cast<size_t>(index - 1)];
    return part(view(l.bytes), start, std::span(l.ends)[static_cast<size_t>(index)] - start);
}

bool lines_equal(const lines &a, const lines &b) {
    return a.count == b.count && view(a.bytes) == view(b.bytes) &&
           std::equal(std::begin(a.ends), std::begin(a.ends) + a.count, std::begin(b.ends));
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void verdict_name(verdict &v, const char *format, ...) {
    v.name.length = 0;
    va_list arguments;
    va_start(arguments, format);
    text_add_v(v.name, format, arguments);
    va_end(arguments);
}

void verdict_judge(verdict &v) {
    v.is = lines_equal(v.want, v.got) ? outcome::ok : outcome::not_ok;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void verdict_skip(verdict &v, const char *format, ...) {
    v.is = outcome::skip;
    v.reason.length = 0;
    va_list arguments;
    va_start(arguments, format);
    text_add_v(v.reason, format, arguments);
    va_end(arguments);
}

void verdict_unseen(verdict &v, const unseen &u) {
    verdict_skip(v, "%s", u.text);
}

void verdict_clear(verdict &v) {
    v.is = outcome::ok;
    v.name.length = 0;
    v.name.s[0] = '\0';
    lines_clear(v.want);
    lines_clear(v.got);
    lines_clear(v.notes);
    v.reason.length = 0;
    v.reason.s[0] = '\0';
}

size_t escape_line(std::string_view line, std::span<char> escaped) {
    const bool ends = line.ends_with('\n');
    if (ends) {
        line.remove_suffix(1);
    }
    size_t length = escape_text(line, escaped.first(escaped.size() - 1));
    if (ends) {
        escaped[length++] = '\n';
        escaped[length] = '\0';
    }
    return length;
}

void complain_v(const char *format, va_list arguments) {
    static char formatted[LINE_MAX_BYTES + 256];
    static char escaped[((LINE_MAX_BYTES + 256) * ESCAPE_GROWTH) + 2];
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the caller's va_start set it
    const int n = vsnprintf(formatted, sizeof formatted, format, arguments);
    const size_t length = std::clamp(n, 0, static_cast<int>(sizeof formatted) - 1);
    escape_line({formatted, length}, escaped);
    fprintf(stderr, "corehop-sweep: %s\n", escaped);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void complain(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    complain_v(format, arguments);
    va_end(arguments);
}
