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
