// SPDX-License-Identifier: MIT
// The children the run starts (its tools, the -H guard, the walk of the
// cgroup v1 cpusets), all started, watched and ended in one way: each in a
// process group or a session of its own, watched by the kernel's own means
// (a pidfd for its end, a pipe for its output), its start reported back
// should any step of it fail. What a tool leaves behind comes to the run as
// its reaper, and is ended too. It knows nothing of what a child is for.
#pragma once

#include "lifetime.h"
#include "text.h"

#include <span>
#include <string_view>

// How a child starts: in a session of its own, outliving the run (the
// guard), or else in a process group of its own that the kernel ends should
// the run die; whether what it runs is an exec, which it then reaches in the
// run's own memory, the run waiting meanwhile (vfork), not in a copy of it
// whose every page the run's next write to it copies again (fork); its
// input (-1: an empty one); and what it runs, which returns only where it
// fails: the call that failed (nullptr: its exec), errno set.
struct start_how {
    const char *name;
    bool session;
    bool execs;
    int input;
    const char *(*body)(const void *context);
    const void *context;
};
// Starts a child, its output and errors into a pipe; tracked until it is
// ended. What went wrong where it cannot: "NAME cannot be started: CALL:
// ERROR", with the limit behind it where there is one.
unseen start_child(child &c, const start_how &how);
// Starts path with args (args[0] its name, then the arguments, then null),
// with every signal at its default and none blocked; where its exec would
// raise its privileges (a set-user-ID program, one with file
// capabilities), which clears the signal that ends it with the run, a
// watcher in its process group ends the group should the run die.
unseen start_tool(child &c, const char *path, const char *const *args);

// What a child's run gave: why it could not be watched or started, if
// that, its status (128+N where signal N ended it), the first lines of its
// output as it wrote them, and whether it ended within its bound. One is
// kept, that of the last run, until the next.
struct tool_result {
    unseen hindrance{};
    int status{};
    char output[OUTPUT_MAX]{};
    size_t length{};
    bool in_time{};
};
std::string_view output_of(const tool_result &r);
// Waits up to ms for the child to end, then ends its whole process group
// and reaps it, and what it left behind.
const tool_result &finish_child(child &c, int ms);
// Waits up to ms for the first byte of the child's output, into byte: -1
// where none came. What could not be waited on, where the wait failed.
unseen first_byte(const child &c, int ms, int &byte);

// Runs a child to its end, bounded: a tool, or what how says.
const tool_result &run_child(const start_how &how);
const tool_result &run_tool(const char *path, const char *const *args);
// Runs corehop -c CPU -p TASK, bounded.
const tool_result &run_corehop(const char *corehop, int cpu, long task);

// What a tool said, as a diagnostic says it: "status N: " and its output,
// its own lines as lines, added to l.
void said_by(lines &l, const tool_result &r);
