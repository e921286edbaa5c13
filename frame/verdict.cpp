// SPDX-License-Identifier: MIT
#include "verdict.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
int print_verdict(const char *program_name, int status, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // (va_start set it, which the analyzer misses)
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int printed = vprintf(format, arguments);
    va_end(arguments);
    // A line written at once (to a terminal) fails in printf; a buffered one
    // in the flush; one that a file system writes back later (NFS, FUSE) in
    // the close. Only standard output holds a buffer, so flushing every
    // stream flushes it; a failed printf leaves errno for the flush that has
    // nothing more to write.
    if (printed >= 0 && fflush(nullptr) == 0 && close(STDOUT_FILENO) == 0) {
        return status;
    }
    fprintf(stderr, "%s: write error: %s\n", program_name, strerror(errno));
    return status == PASS_STATUS ? 1 : status;
}

void move_pass_line(std::span<char> line, int32_t task, int32_t cpu) {
    snprintf(line.data(), line.size(), "Pass: switch thread %d to cpu %d success", task, cpu);
}

void move_fail_line(std::span<char> line, int32_t task, int32_t cpu) {
    snprintf(line.data(), line.size(), "Fail:can not switch thread %d to CPU %d", task, cpu);
}

void move_read_fail_line(std::span<char> line, int32_t task, int32_t cpu, const char *reason) {
    snprintf(line.data(), line.size(), "Fail:Get thread %d on CPU %d affinity failed, error: %s",
             task, cpu, reason);
}

void park_fail_line(std::span<char> line, long pid, int32_t cpu, const char *reason) {
    snprintf(line.data(), line.size(), "Fail:Set thread %ld on CPU %d affinity failed, error: %s",
             pid, cpu, reason);
}

long park_fail_pid(std::string_view line) {
    const std::string_view prefix = "Fail:Set thread ";
    if (!line.starts_with(prefix)) {
        return -1;
    }
    line.remove_prefix(prefix.size());
    long pid = 0;
    size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9' && pid < 1000000000) {
        pid = (pid * 10) + (line[digits] - '0');
        ++digits;
    }
    return digits > 0 && digits < line.size() && line[digits] == ' ' ? pid : -1;
}
