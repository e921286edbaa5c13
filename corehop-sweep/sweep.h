// SPDX-License-Identifier: MIT
// corehop-sweep's parts: the run and its checks (corehop-sweep.cpp), the
// report (report.cpp), the children it starts and watches (children.cpp),
// what it reads of the machine (machine.cpp), every thread and interrupt of
// the machine (scan.cpp) and the CPU it takes offline with -H (hotplug.cpp).
#pragma once

#include "cpu_list.h"

#include <cstdarg>
#include <cstddef>
#include <span>
#include <string_view>
#include <sys/types.h>

// The seconds a tool has to give its verdict, and the parker to pin itself.
inline constexpr int BOUND_SECONDS = 10;
// The milliseconds a child sent SIGKILL, or the guard told it is done, has
// to end before the sweep goes on without it.
inline constexpr int REAP_MS = 2000;
// The lines of a tool's output that a result shows, and the bytes kept of it.
inline constexpr int OUT_LINES = 20;
inline constexpr size_t OUT_MAX = 4096;
// A path, as the kernel bounds it.
inline constexpr size_t PATH_TEXT_MAX = 4096;
// A line of the report: a description or what was expected or came, which
// may hold a list of CPUs, a tool's output and paths.
inline constexpr size_t LINE_MAX_BYTES = CPU_LIST_TEXT_MAX + OUT_MAX + (2 * PATH_TEXT_MAX);
// The descriptors the sweep holds at once, at most: without -H (the standard
// ones, the signalfd, a tool's and the parker's, the folders of the search
// for its cpuset), and with it (the guard's, the scans', and the folders of
// the cgroup v1 cpusets nested in each other).
inline constexpr int DESCRIPTORS_LEAST = 32;
inline constexpr int DESCRIPTORS_HOTPLUG = 128;

// A text built in place, cut at its size.
struct text {
    char s[LINE_MAX_BYTES];
    size_t length;
};
[[gnu::format(printf, 2, 3)]] void text_set(text &t, const char *format, ...);
// Adds to its end.
[[gnu::format(printf, 2, 3)]] void text_add(text &t, const char *format, ...);

// A process the sweep started: its name, its pid, a pidfd that polls readable once it
// has ended (-1 where the kernel gives none), the read end of the pipe of its
// output, the sweep's end of its input (the guard's alone), and a pipe that
// holds the errno of an exec that failed.
struct child {
    const char *name = nullptr;
    pid_t pid = -1;
    int pidfd = -1;
    int out = -1;
    int in = -1;
    int failed = -1;
};

// The sweep's state: what every way out must end or bring back.
struct sweep {
    int signals = -1; // signalfd of the signals that end the sweep
    child tool;       // the corehop or corenest that runs, or the cpuset walk
    child parker;
    child guard;         // the child that brings the CPU back should the sweep die
    int offline = -1;    // a CPU taken offline
    bool strays = false; // tools have run: what they leave is looked for
    bool lost = false;   // the report could not be written, and this was said
    int number = 0;
    int passed = 0;
    int failed = 0;
    // the last tool's status (128+N: ended by signal N) and its output
    int status = 0;
    char out[OUT_MAX]{};
    // why the check under way cannot judge: a read of the machine that
    // failed, or a tool that could not start; its result is then a skip that
    // says so
    text hindrance{};
};

// report.cpp
// Writes a line of the report, formatted as printf does, with every control
// character but the line break that ends it escaped: whatever came from
// outside (a name, a path, a tool's output) stays on its line. The write
// waits for a reader that stalls, but a signal still ends the sweep; where
// the line cannot be written, the sweep ends with status 1 (or 128+N where
// signal N came, SIGPIPE among them).
[[gnu::format(printf, 2, 3)]] void out(sweep &s, const char *format, ...);
// "corehop-sweep: MESSAGE" on standard error, formatted and escaped as out()
// does a line.
[[gnu::format(printf, 1, 2)]] void complain(const char *format, ...);
[[gnu::format(printf, 1, 0)]] void complain_v(const char *format, va_list arguments);
// Writes the sweep's own text as it is, in the same way (the help).
void put(sweep &s, std::string_view bytes);
// "ok NUMBER WHAT" where got is want; else "not ok", then what was expected
// and what came, on diagnostic lines. A skip instead where the check was
// hindered.
void result(sweep &s, const char *what, const char *got, const char *want);
// "ok NUMBER WHAT # SKIP REASON": a check that cannot run, or show, here.
void skip(sweep &s, const char *what, const char *reason);
// A report of no check: nothing can be checked here, for the reason; the
// sweep ends with status 4.
[[noreturn]] void skip_all(sweep &s, const char *reason);
// Says why the check under way cannot judge, unless a reason came first.
[[gnu::format(printf, 2, 3)]] void hinder(sweep &s, const char *format, ...);
// Standard output closed, and the report so confirmed delivered: the status,
// or 1 where it was not (said on standard error), but a signal's.
int confirm_report(const sweep &s, int status);

// children.cpp
// Sets right what the caller left: SIGCHLD at its default, so that the
// kernel keeps the tools' statuses; the signals whose default ends a process
// (but those the caller left ignored) blocked and taken through a signalfd;
// the sweep the reaper of what its tools leave behind. Raises the limits on
// descriptors and processes toward their hard limits, as far as the sweep
// needs; returns the descriptors it may now hold.
long settle(sweep &s);
// Ends every child and brings back a CPU taken offline, then exits, the
// report confirmed.
[[noreturn]] void end_sweep(sweep &s, int status);
// Sleeps up to ms milliseconds; a signal ends the sweep.
void nap(sweep &s, int ms);
// Ends the sweep where a signal came, with 128 plus its number.
void heed_signals(sweep &s);
// How a child starts: in a session of its own, outliving the sweep (the
// guard), or else in a process group of its own that the kernel ends should
// the sweep die; its input (-1: /dev/null); and what it runs, which returns
// only where it fails (an exec), errno set.
struct start_how {
    const char *name;
    bool session;
    int input;
    void (*body)(const void *context);
    const void *context;
};
// Starts a child, its output and errors into a pipe. False where it cannot,
// the check hindered by the reason.
bool start_child(sweep &s, child &c, const start_how &how);
// Starts path with args (args[0] its name, then the arguments, then null),
// with every signal at its default and none blocked.
bool start_tool(sweep &s, child &c, const char *path, const char *const *args);
// Waits up to ms for the child to end, then ends its whole process group and
// reaps it, and what it left behind. Its status and output into s.status and
// s.out; false where the bound ended it (status 137) or its exec failed (the
// check hindered).
bool finish_child(sweep &s, child &c, int ms);
// Waits up to ms for the first byte of the child's output: the byte, or -1
// where none came.
int first_byte(sweep &s, const child &c, int ms);
// Ends the child's process group, at once or once it has had grace_ms to end
// by itself, and reaps it, within REAP_MS.
void end_child(child &c, int grace_ms = 0);
// Runs a tool to its end, bounded: status and output in s.status and s.out;
// false where it could not start or run (the check hindered).
bool run_tool(sweep &s, const char *path, const char *const *args);
// Runs corehop -c CPU -p TASK, bounded.
bool run_corehop(sweep &s, const char *corehop, int cpu, pid_t task);
// corehop's verdict lines for a move of task to cpu: its pass and its fail.
void pass_line(text &t, pid_t task, int cpu);
void fail_line(text &t, pid_t task, int cpu);

// machine.cpp
// Reads a whole small file into buf with a terminating NUL; its length, or
// -1 with errno that of the call that failed (EFBIG: it does not fit).
ssize_t read_file(const char *path, std::span<char> buf);
// The first line of a file, without its line break, into buf: 0, or the
// errno of the call that failed, buf then "".
int read_line(const char *path, std::span<char> buf);
// A task's file under /proc/TASK into buf: 1, 0 once the task is gone, -1
// where it cannot be read (the check hindered, naming the file).
int read_task_file(sweep &s, pid_t task, const char *name, std::span<char> buf);
// The kernel's list of the CPUs a task may run on, into buf; as
// read_task_file.
int cpus_of(sweep &s, pid_t task, std::span<char> buf);
// The task's name, such as "(corenest)", into name, and its state, such as
// 'S'; as read_task_file.
int state_of(sweep &s, pid_t task, std::span<char> name, char &state);
// The cpuset of this process: its effective CPUs, as the file says them, and
// the file. Where none is found, error is 0 (no cpuset hierarchy holds this
// process, as far as this mount namespace shows), or the errno of a read
// that failed, with its file.
struct cpuset_read {
    bool found;
    int error;
};
cpuset_read find_cpuset(std::span<char> cpus, std::span<char> file);
// The program name beside here (a folder, or "" for none), else on PATH:
// a regular file that may be run by someone; false where there is none.
bool find_tool(const char *here, const char *name, std::span<char> path);
// The folder of the program run as argv0: its own folder, else the PATH
// folder that holds it, else "".
void folder_of(const char *argv0, std::span<char> here);
// Calls visit(context, line) for each line of the file, read through
// buffer, without its line break, until visit returns false; lines longer
// than the buffer are passed over. 0, or the errno of the call that failed.
int each_line(const char *path, std::span<char> buffer,
              bool (*visit)(void *context, std::string_view line), void *context);
// Calls visit(context, name) for each entry of the folder at fd but . and
// .. (d_type in *type: DT_DIR, DT_UNKNOWN, ...). 0, or the errno of the
// call that failed.
int each_entry(int fd, bool (*visit)(void *context, const char *name, unsigned char type),
               void *context);
// A walk of nested folders a level down: "/NAME" added to path, and its
// length before in length; false where it does not fit, or depth reaches
// depth_max.
bool folder_down(std::span<char> path, const char *name, size_t &length, int depth, int depth_max);
// True for the errors of a file under /proc/PID that say the task is gone.
bool task_gone(int error);

// scan.cpp
// A file that could not be read, and why.
struct unread {
    char file[PATH_TEXT_MAX];
    int error;
};
// Notes in failed that file could not be read, and why; false, so that a
// walk stops there.
bool note_unread(unread &failed, const char *file, int error);
// Whether this process lies in the host's first namespace of the kind
// ("pid", "cgroup"): 1 or 0; -1 where /proc/self/ns/KIND cannot be read,
// the reason in why.
int first_namespace(const char *kind, text &why);
// One thread of the machine, as /proc shows it: its process, its id, its
// name in parentheses, its state (R, S, Z...), whether it is the kernel's,
// and the list of the CPUs it may use.
struct thread_seen {
    long pid;
    long tid;
    std::string_view comm;
    char state;
    bool kernel;
    std::string_view cpus;
};
// Calls visit for each thread of every process in /proc but skip_pid's,
// until it returns false; kernel threads too where kernel_too (else they are
// passed over unread). A task that ends meanwhile is passed over. True where
// every thread was seen; else false, and what could not be read in failed.
bool each_thread(bool kernel_too, pid_t skip_pid,
                 bool (*visit)(void *context, const thread_seen &thread), void *context,
                 unread &failed);
// Calls visit(context, number, affinity) for each interrupt in /proc/irq,
// with the list of the CPUs it may use, until it returns false. As
// each_thread.
bool each_irq(bool (*visit)(void *context, const char *number, std::string_view affinity),
              void *context, unread &failed);
// Whether the interrupt handles something (a folder of its handler stands
// beside its files, which names it in action): 1 or 0, or -1 with failed.
int irq_handled(const char *number, std::span<char> action, unread &failed);
// A file of the interrupt's folder, as read_line reads it: 1, 0 where there
// is none, or -1 with failed.
int irq_file(const char *number, const char *name, std::span<char> buf, unread &failed);

// isolation.cpp
// The audit of the machine's CPU isolation (-i): its report, then the end of
// the sweep.
[[noreturn]] void audit_isolation(sweep &s);

// hotplug.cpp
// The -H checks of CPU moves: a CPU moved to goes offline under the parker
// (pid parker, or -1 where there is none) and comes back; or three skips,
// for the reason in why where one is given. seen holds the parker's CPUs as
// last seen, and is left with them.
void hotplug(sweep &s, const char *corehop, const cpu_list &moves, const cpu_list &online,
             pid_t parker, std::span<char> seen, const char *why);
// Brings the CPU taken offline back, and ends its guard.
void bring_back(sweep &s);
