// SPDX-License-Identifier: MIT
// corehop-sweep's parts: the run and its report (corehop-sweep.cpp), the
// tools it runs and watches (tools.cpp), what it reads of the machine
// (machine.cpp) and the CPU it takes offline with -H (hotplug.cpp).
#pragma once

#include "cpu_list.h"

#include <cstddef>
#include <span>
#include <string_view>
#include <sys/types.h>

// The seconds a tool has to give its verdict, and the parker to pin itself.
inline constexpr int BOUND_SECONDS = 10;
// The lines of a tool's output that a result shows, and the bytes kept of it.
inline constexpr int OUT_LINES = 20;
inline constexpr size_t OUT_MAX = 4096;
// A path, as the kernel bounds it.
inline constexpr size_t PATH_TEXT_MAX = 4096;
// A line of the report: a description or what was expected or came, which
// may hold a list of CPUs, a tool's output and paths.
inline constexpr size_t LINE_MAX_BYTES = CPU_LIST_TEXT_MAX + OUT_MAX + (2 * PATH_TEXT_MAX);

// A text built in place, cut at its size.
struct text {
    char s[LINE_MAX_BYTES];
    size_t length;
};
[[gnu::format(printf, 2, 3)]] void text_set(text &t, const char *format, ...);

// A process the sweep started, in a process group of its own: its pid, a
// pidfd that polls readable once it has ended (-1 where the kernel gives
// none), and the read end of the pipe of its output.
struct child {
    pid_t pid = -1;
    int pidfd = -1;
    int out = -1;
};

// The sweep's state: what every way out must end or bring back.
struct sweep {
    int signals = -1; // signalfd of the signals that end the sweep
    child tool;       // the corehop or corenest that runs
    child parker;
    int offline = -1;  // a CPU taken offline
    pid_t guard = -1;  // the child that brings it back should the sweep die
    int guard_fd = -1; // the guard's pipe: a byte says the CPU is back
    int number = 0;
    int passed = 0;
    int failed = 0;
    // the last tool's status (128+N: ended by signal N) and its output
    int status = 0;
    char out[OUT_MAX]{};
};

// tools.cpp
// Blocks the signals whose default ends a process, but those the caller left
// ignored, and takes them through a signalfd.
void catch_signals(sweep &s);
// Ends every child and brings back a CPU taken offline, then exits.
[[noreturn]] void end_sweep(sweep &s, int status);
// Sleeps up to ms milliseconds; a signal ends the sweep.
void nap(sweep &s, int ms);
// A pidfd of the child pid, or -1.
int open_pidfd(pid_t pid);
// Starts path with args (args[0] its name, then the arguments, then null):
// its output and errors into a pipe, no input, default signal dispositions,
// an empty signal mask, ended by SIGKILL should the sweep die.
void start_tool(sweep &s, child &c, const char *path, const char *const *args);
// Waits up to ms for the child to end, then ends its whole process group
// and waits for it. Its status and output into s.status
// and s.out; true unless the bound ended it (status 137).
bool finish_tool(sweep &s, child &c, int ms);
// Runs a tool to its end, bounded: status and output in s.status and s.out.
void run_tool(sweep &s, const char *path, const char *const *args);
// Runs corehop -c CPU -p TASK, bounded.
void run_corehop(sweep &s, const char *corehop, int cpu, pid_t task);
// corehop's verdict lines for a move of task to cpu: its pass and its fail.
void pass_line(text &t, pid_t task, int cpu);
void fail_line(text &t, pid_t task, int cpu);
// Writes a line of the report; where it cannot, the sweep ends with status 1
// (or 128+N where signal N came, SIGPIPE among them).
[[gnu::format(printf, 2, 3)]] void out(sweep &s, const char *format, ...);

// "ok NUMBER WHAT" where got is want; else "not ok", then what was expected
// and what came, on diagnostic lines.
void result(sweep &s, const char *what, const char *got, const char *want);
// "ok NUMBER WHAT # SKIP REASON": a check that cannot run, or show, here.
void skip(sweep &s, const char *what, const char *reason);

// machine.cpp
// Reads a whole small file into buf with a terminating NUL; its length, or
// -1 where it cannot be read or does not fit.
ssize_t read_file(const char *path, std::span<char> buf);
// The first line of a file, without its line break, into buf; "" where it
// cannot be read.
void read_line(const char *path, std::span<char> buf);
// The kernel's list of the CPUs a task may run on, into buf; "" once it is
// gone.
void cpus_of(pid_t task, std::span<char> buf);
// The task's name, such as "(corenest)", into name, and its state, such as
// 'S'; "" and '\0' once it is gone.
char state_of(pid_t task, std::span<char> name);
// The cpuset of this process: its effective CPUs, as the file says them, and
// the file; false where none can be read.
bool find_cpuset(std::span<char> cpus, std::span<char> file);
// text with each line break shown as \n, into out.
void one_line(const char *text, std::span<char> out);
// The program name beside here (a folder, or "" for none), else on PATH:
// a regular file that may be run by someone; false where there is none.
bool find_tool(const char *here, const char *name, std::span<char> path);
// The folder of the program run as argv0: its own folder, else the PATH
// folder that holds it, else "".
void folder_of(const char *argv0, std::span<char> here);
// Calls visit(context, line) for each line of the file, without its line
// break, until visit returns false; false where the file cannot be read.
bool each_line(const char *path, bool (*visit)(void *context, std::string_view line),
               void *context);
// Calls visit(context, name) for each entry of the folder at fd but . and
// .. (d_type in *type: DT_DIR, DT_UNKNOWN, ...); false where it cannot be
// read whole.
bool each_entry(int fd, bool (*visit)(void *context, const char *name, unsigned char type),
                void *context);

// hotplug.cpp
// The -H checks of CPU moves: a CPU moved to goes offline under the parker
// (pid parker, or -1 where there is none) and comes back; or three skips.
// seen holds the parker's CPUs as last seen, and is left with them.
void hotplug(sweep &s, const char *corehop, const cpu_list &moves, const cpu_list &online,
             pid_t parker, std::span<char> seen);
// Brings the CPU taken offline back, and ends its guard.
void bring_back(sweep &s);
