// SPDX-License-Identifier: MIT
// The report on standard output: each line whole, escaped, written as the
// reader takes it while the signals that end the sweep are heard; each
// check's result, or its skip where what it needed could not be had; and the
// report's end confirmed.
#include "escape.h"
#include "sweep.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

// A line as formatted, and as written: a report's, or a message's on
// standard error, each in buffers of its own.
struct line_buffers {
    char formatted[LINE_MAX_BYTES + 256];
    char escaped[((LINE_MAX_BYTES + 256) * ESCAPE_GROWTH) + 1];
};

// The formatted line, n bytes long as vsnprintf says, its control characters
// but the line break that ends it escaped into escaped: its length there.
size_t escape_line(std::span<const char> formatted, int n, std::span<char> escaped) {
    std::string_view line(formatted.data(), static_cast<size_t>(std::clamp(
                                                n, 0, static_cast<int>(formatted.size()) - 1)));
    const bool ends = line.ends_with('\n');
    if (ends) {
        line.remove_suffix(1);
    }
    size_t length = escape_text(line, escaped.first(escaped.size() - 1));
    if (ends) {
        escaped[length++] = '\n';
    }
    return length;
}

[[noreturn]] void lost(sweep &s, int error) {
    complain("the report cannot be written on standard output: %s", strerror(error));
    s.lost = true;
    end_sweep(s, 1);
}

// text on diagnostic lines, the first after label.
void diagnose(sweep &s, const char *label, const char *text) {
    for (;;) {
        const char *const end = strchr(text, '\n');
        const int length =
            end == nullptr ? static_cast<int>(strlen(text)) : static_cast<int>(end - text);
        out(s, "# %s %.*s\n", label, length, text);
        if (end == nullptr) {
            return;
        }
        text = end + 1;
        label = "         ";
    }
}

} // namespace

// A write of at most PIPE_BUF bytes once poll says there is room never
// blocks on a pipe, which a reader may stop reading; on a file, a full
// device or a reader gone is said by the write itself.
void put(sweep &s, std::string_view bytes) {
    while (!bytes.empty()) {
        pollfd fds[2] = {{.fd = STDOUT_FILENO, .events = POLLOUT, .revents = 0},
                         {.fd = s.signals, .events = POLLIN, .revents = 0}};
        if (poll(fds, s.signals >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
            lost(s, errno);
        }
        heed_signals(s);
        if ((fds[0].revents & POLLNVAL) != 0) {
            lost(s, EBADF);
        }
        if ((fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
            continue;
        }
        const ssize_t n =
            write(STDOUT_FILENO, bytes.data(), std::min(bytes.size(), size_t{PIPE_BUF}));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            // (a reader gone: SIGPIPE came too, unless the caller left it
            // ignored)
            heed_signals(s);
            lost(s, error);
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void out(sweep &s, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    static line_buffers b;
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    const int n = vsnprintf(b.formatted, sizeof b.formatted, format, arguments);
    va_end(arguments);
    put(s, std::string_view(b.escaped, escape_line(b.formatted, n, b.escaped)));
}

void complain_v(const char *format, va_list arguments) {
    static line_buffers b;
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the caller's va_start set it
    const int n = vsnprintf(b.formatted, sizeof b.formatted, format, arguments);
    escape_line(b.formatted, n, b.escaped);
    fprintf(stderr, "corehop-sweep: %s\n", b.escaped);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void complain(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    complain_v(format, arguments);
    va_end(arguments);
}

void result(sweep &s, const char *what, const char *got, const char *want) {
    if (s.hindrance.length > 0) {
        skip(s, what, s.hindrance.s);
        return;
    }
    ++s.number;
    if (strcmp(got, want) == 0) {
        ++s.passed;
        out(s, "ok %d %s\n", s.number, what);
    } else {
        ++s.failed;
        out(s, "not ok %d %s\n", s.number, what);
        diagnose(s, "expected:", want);
        diagnose(s, "got:     ", got);
    }
}

void skip(sweep &s, const char *what, const char *reason) {
    ++s.number;
    out(s, "ok %d %s # SKIP %s\n", s.number, what, reason);
    s.hindrance.length = 0;
    s.hindrance.s[0] = '\0';
}

void skip_all(sweep &s, const char *reason) {
    out(s, "KTAP version 1\n");
    out(s, "1..0 # SKIP %s\n", reason);
    end_sweep(s, 4);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void hinder(sweep &s, const char *format, ...) {
    if (s.hindrance.length > 0) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    const int n = vsnprintf(s.hindrance.s, sizeof s.hindrance.s, format, arguments);
    va_end(arguments);
    s.hindrance.length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof s.hindrance.s - 1);
}

// A file system may say only at the close that what it took cannot be
// written (NFS, FUSE).
int confirm_report(const sweep &s, int status) {
    if (s.lost || status > 4 || close(STDOUT_FILENO) == 0) {
        return s.lost && status <= 4 ? 1 : status;
    }
    complain("the report cannot be written on standard output: %s", strerror(errno));
    return 1;
}
