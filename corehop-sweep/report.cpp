// SPDX-License-Identifier: MIT
#include "report.h"
#include "escape.h"
#include "lifetime.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How standard output takes the report: a regular file at once, anything
// else as poll says it has room.
struct report_state {
    bool regular = false;
    bool lost = false;
};

report_state &the_report() {
    static report_state report;
    return report;
}

bool lost(const char *why) {
    if (!the_report().lost) {
        complain("the report cannot be written on standard output: %s", why);
        the_report().lost = true;
        note_report_lost();
    }
    return false;
}

// A write of at most PIPE_BUF bytes once poll says there is room never
// blocks on a pipe, which a reader may stop reading; on a file, a full
// device or a reader gone is said by the write itself.
bool write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        if (!the_report().regular) {
            pollfd out{.fd = STDOUT_FILENO, .events = POLLOUT, .revents = 0};
            const unseen waited = await(std::span(&out, 1), -1);
            if (is_unseen(waited)) {
                return lost(waited.text);
            }
            if ((out.revents & POLLNVAL) != 0) {
                return lost(strerror(EBADF));
            }
            if ((out.revents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
                continue;
            }
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
            nap(0);
            return lost(strerror(error));
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

struct line_buffer {
    text line;
    char escaped[(LINE_MAX_BYTES * ESCAPE_GROWTH) + 2];
};

line_buffer &buffer() {
    static line_buffer b{};
    return b;
}

// Puts the line being built in the buffer, with its line break.
bool put_built() {
    line_buffer &b = buffer();
    text_add_bytes(b.line, "\n");
    return put_line(view(b.line));
}

// A diagnostic: its lines, the first after label, the others below it.
bool diagnose(const char *label, const lines &l) {
    for (int i = 0; i == 0 || i < l.count; ++i) {
        text_set(buffer().line, "# %s ", i == 0 ? label : "         ");
        if (i < l.count) {
            text_add_bytes(buffer().line, line_of(l, i));
        }
        if (!put_built()) {
            return false;
        }
    }
    return true;
}

// Prints a verdict, numbered; counts it in passed, failed and skipped.
struct tally {
    int number;
    int passed;
    int failed;
};

bool print_verdict(const verdict &v, tally &t) {
    ++t.number;
    text &line = buffer().line;
    text_set(line, "%s%d ", v.is == outcome::not_ok ? "not ok " : "ok ", t.number);
    text_add_bytes(line, view(v.name));
    if (v.is == outcome::skip) {
        text_add(line, " # SKIP ");
        text_add_bytes(line, view(v.reason));
    }
    if (!put_built()) {
        return false;
    }
    t.passed += v.is == outcome::ok ? 1 : 0;
    t.failed += v.is == outcome::not_ok ? 1 : 0;
    if (v.is == outcome::not_ok &&
        (!diagnose("expected:", v.want) || !diagnose("got:     ", v.got))) {
        return false;
    }
    for (int i = 0; i < v.notes.count; ++i) {
        text_set(buffer().line, "# ");
        text_add_bytes(buffer().line, line_of(v.notes, i));
        if (!put_built()) {
            return false;
        }
    }
    return true;
}

} // namespace

unseen open_report() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // (read-only, so that output there cannot be written and a report
            // lost is never a pass; where there is no /dev/null, the root)
            if (open("/dev/null", O_RDONLY) != fd) {
                open("/", O_RDONLY | O_DIRECTORY);
            }
        }
    }
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        return unseen_said("standard output", EBADF, "%s", strerror(EBADF));
    }
    struct stat st = {};
    the_report().regular = fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode);
    return {};
}

bool put(std::string_view bytes) {
    return !the_report().lost && write_all(bytes);
}

bool put_line(std::string_view line) {
    line_buffer &b = buffer();
    return put({b.escaped, escape_line(line, b.escaped)});
}

int run_checks(std::span<const check> checks, const lines &header) {
    int plan = 0;
    for (const check &c : checks) {
        plan += c.verdicts;
    }
    text_set(buffer().line, "KTAP version 1\n1..%d\n", plan);
    if (!put(view(buffer().line))) {
        return 1;
    }
    for (int i = 0; i < header.count; ++i) {
        text_set(buffer().line, "# ");
        text_add_bytes(buffer().line, line_of(header, i));
        if (!put_built()) {
            return 1;
        }
    }
    static verdict verdicts[VERDICTS_MAX];
    tally t{.number = 0, .passed = 0, .failed = 0};
    for (const check &c : checks) {
        const auto given = std::span(verdicts).first(static_cast<size_t>(c.verdicts));
        for (verdict &v : given) {
            verdict_clear(v);
        }
        c.run(c.context, c.argument, given);
        for (const verdict &v : given) {
            if (!print_verdict(v, t)) {
                return 1;
            }
        }
    }
    if (t.failed > 0) {
        return 1;
    }
    return t.passed == 0 ? 4 : 0;
}

int skip_all(const char *reason) {
    text_set(buffer().line, "KTAP version 1\n");
    if (!put(view(buffer().line))) {
        return 1;
    }
    text_set(buffer().line, "1..0 # SKIP %s", reason);
    return put_built() ? 4 : 1;
}
