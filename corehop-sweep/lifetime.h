// SPDX-License-Identifier: MIT
// The lifetime of a run, in one place: what the caller left set right, the
// signals that end the run (heard through a signalfd in every wait), and
// what every way out ends or brings back: the children it tracks, what its
// tools leave behind, a CPU taken offline and the guard that would bring it
// back should the run die. The end confirms the report and exits: with the
// status main gives, or, on the signal path, 128 plus the signal's number.
#pragma once

#include "text.h"

#include <poll.h>
#include <span>
#include <sys/types.h>

// The seconds a tool has to give its verdict, and the parker to pin itself.
inline constexpr int BOUND_SECONDS = 10;
// The milliseconds a child sent SIGKILL, or the guard told it is done, has
// to end before the run goes on without it.
inline constexpr int REAP_MS = 2000;
// The descriptors the sweep holds at once, at most: without -H (the standard
// ones, the signalfd, a tool's and the parker's, the folders of the search
// for its cpuset), and with it or -i (the guard's, the scans', and the
// folders of the cgroup cpusets nested in each other).
inline constexpr int DESCRIPTORS_LEAST = 32;
inline constexpr int DESCRIPTORS_HOTPLUG = 128;

// A process the run started: its name, its pid, a pidfd that polls readable
// once it has ended (-1 where the kernel gives none), the read end of the
// pipe of its output, the run's end of its input (the guard's alone), and
// the read end of a pipe that says why its start failed, if it did.
struct child {
    const char *name = nullptr;
    pid_t pid = -1;
    int pidfd = -1;
    int output = -1;
    int input = -1;
    int start_report = -1;
};

// What the run begins with: the descriptors it may hold (at most
// DESCRIPTORS_HOTPLUG), and why it cannot be the reaper of what its tools
// leave behind, if it cannot.
struct run_start {
    long descriptors{};
    unseen no_reaper{};
};
// Sets right what the caller left: SIGCHLD at its default, so that the
// kernel keeps the tools' statuses; the signals whose default ends a process
// (but those the caller left ignored) blocked and taken through a signalfd;
// the run the reaper of what its tools leave behind; the limits on
// descriptors and processes raised toward their hard limits, as far as the
// run needs.
run_start begin_run();

// The monotonic clock, in milliseconds.
long long now_ms();
// Waits up to ms for one of fds to be ready, hearing the signals meanwhile:
// a signal ends the run. What could not be waited on: the poll that failed.
unseen await(std::span<pollfd> fds, int ms);
// Sleeps up to ms, as await does.
unseen nap(int ms);

// A child ended on every way out, until it is ended here.
void track(child &c);
// Tools have been started: what they leave behind is looked for.
void note_tools_started();
// Ends the child's process group, at once or once it has had grace_ms to
// end by itself, reaps it within REAP_MS, and closes its descriptors.
void end_child(child &c, int grace_ms = 0);
// Reaps pid, a child that has ended or was sent SIGKILL, within ms, its wait
// status in status; where not, the wait that failed, or ETIMEDOUT where it
// did not end in time (a task held in the kernel).
unseen reap(pid_t pid, int pidfd, int ms, int &status);
// Ends and reaps every child of the run's that it did not start itself:
// what a tool left behind, in a session or a group of its own.
void end_strays();

// Writes "0" or "1" to the CPU's online file; where the kernel refuses,
// the file and the errno.
unseen set_online(int cpu, bool online);
// The guard of a CPU to take offline: the child that brings it back should
// the run die.
child &guard();
// The CPU is offline: every way out brings it back.
void note_offline(int cpu);
// What bringing a CPU back did: why the run's own write of 1 did not take,
// where it did not, and whether the CPU is online again, by that write or,
// where it failed, by the guard's.
struct brought_back {
    unseen refused;
    bool online{};
};
// Brings the CPU taken offline back, and ends the guard: told it is done
// where the write took, else left to try its own.
brought_back bring_back();

// The report could not be written, and this was said.
void note_report_lost();
// Ends every child, brings back a CPU taken offline, ends what the tools
// left, confirms the report (closed, where it was not lost), and exits with
// status, or 1 where the report was lost but for a signal's status.
[[noreturn]] void end_run(int status);
