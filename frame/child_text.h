// SPDX-License-Identifier: MIT
// What a program that runs others reads of them: the lines of a child's
// output it keeps, the signals that end a process by default, and the limit
// that a start refused for want of processes or descriptors comes from.
#pragma once

#include <cstddef>
#include <string_view>

// The length of output's first lines_max lines, without the line break that
// ends the last of them.
size_t output_kept(std::string_view output, int lines_max);

// A signal whose default ends the process: all but those the default
// ignores or stops with, and the two no process can catch.
bool ends_by_default(int signal);

// The limit of a process (RLIMIT_NPROC) a fork refused with EAGAIN comes
// from: where its user may be held to it (not root, nor one with
// CAP_SYS_RESOURCE or CAP_SYS_ADMIN), and the user's tasks have reached it.
// Else the refusal came from elsewhere: the tasks of its cgroup
// (pids.max), of the machine (kernel.threads-max, kernel.pid_max), memory.
bool nproc_refused(bool held_to_limits, unsigned long long limit, unsigned long long tasks);
