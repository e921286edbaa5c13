// SPDX-License-Identifier: MIT
#include "verdict.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int deliver_verdict(const char *program_name, int printed, int status) {
    // A line written at once (to a terminal) fails in printf; a buffered one
    // in the flush; one that a file system writes back later (NFS, FUSE) in
    // the close. Only standard output holds a buffer, so flushing every
    // stream flushes it; a failed printf leaves errno for the flush that has
    // nothing more to write.
    if (printed >= 0 && fflush(nullptr) == 0 && close(STDOUT_FILENO) == 0) {
        return status;
    }
    fprintf(stderr, "%s: write error: %s\n", program_name, strerror(errno));
    return status == 0 ? 1 : status;
}
