// SPDX-License-Identifier: MIT
#include "child_text.h"

#include <csignal>

size_t output_kept(std::string_view output, int lines_max) {
    size_t end = 0;
    for (int lines = 0; end < output.size() && lines < lines_max; ++lines) {
        const size_t next = output.find('\n', end);
        end = next == std::string_view::npos ? output.size() : next + 1;
    }
    return end > 0 && output[end - 1] == '\n' ? end - 1 : end;
}

bool ends_by_default(int signal) {
    switch (signal) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
        return false;
    default:
        return true;
    }
}

bool nproc_refused(bool held_to_limits, unsigned long long limit, unsigned long long tasks) {
    return held_to_limits && tasks >= limit;
}
