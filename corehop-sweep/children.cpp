// SPDX-License-Identifier: MIT
// The children the sweep starts (its tools, the -H guard, the walk of the
// cgroup v1 cpusets), all started, watched and ended in one way: each in a
// process group or a session of its own, watched by the kernel's own means,
// a pidfd for its end, a pipe for its output, a signalfd for the signals
// that end the sweep; what a tool leaves behind, even in a session of its
// own, comes to the sweep as its reaper, and is ended too.
#include "sweep.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The strays (what tools left behind) ended at once, at most, and the rounds
// of their own strays after them.
constexpr int STRAYS_MAX = 256;
constexpr int STRAY_ROUNDS = 8;

// A signal whose default ends the process: all but those the default
// ignores or stops with, and the two no process can catch.
bool ends_by_default(int number) {
    switch (number) {
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

void close_fd(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

long long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<long long>(now.tv_sec) * 1000) + (now.tv_nsec / 1000000);
}

int open_pidfd(pid_t pid) {
    // (by the call's name, not the C library's wrapper, which Debian 12's
    // headers declare without C linkage)
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Reaps pid, a child that has ended or was sent SIGKILL, within ms: its wait
// status, or -1 where it did not end in time (a task held in the kernel) or
// is no child of the sweep's.
int reap(pid_t pid, int pidfd, int ms) {
    const long long deadline = now_ms() + ms;
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        const int error = got < 0 ? errno : 0;
        if (got == pid) {
            return status;
        }
        const long long left = deadline - now_ms();
        if ((got < 0 && error != EINTR) || left <= 0) {
            return -1;
        }
        pollfd fd{.fd = pidfd, .events = POLLIN, .revents = 0};
        poll(&fd, pidfd >= 0 ? 1 : 0, static_cast<int>(pidfd >= 0 ? left : std::min(left, 10LL)));
    }
}

// Pids found as children of the sweep's.
struct children_found {
    std::span<pid_t> pids;
    int count;
};

// Takes pid where it is a child of the sweep's, alive or ended, that no one
// has reaped: its pid is then no one else's.
void take_child(children_found &found, long pid) {
    siginfo_t info{};
    if (found.count < static_cast<int>(found.pids.size()) &&
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
        found.pids[static_cast<size_t>(found.count++)] = static_cast<pid_t>(pid);
    }
}

bool take_process(void *context, const char *name, unsigned char /*type*/) {
    char *end = nullptr;
    const long pid = strtol(name, &end, 10);
    if (*end == '\0' && pid > 0) {
        take_child(*static_cast<children_found *>(context), pid);
    }
    return true;
}

// The children of the sweep's into pids, from the kernel's list of them, or
// else from every process of /proc: their count.
int children_of_sweep(std::span<pid_t> pids) {
    char path[64]{};
    snprintf(path, sizeof path, "/proc/%d/task/%d/children", getpid(), getpid());
    static char list[STRAYS_MAX * 12];
    children_found found{.pids = pids, .count = 0};
    if (read_file(path, list) >= 0) {
        for (const char *at = list; *at != '\0';) {
            char *end = nullptr;
            const long pid = strtol(at, &end, 10);
            if (end == at) {
                break;
            }
            take_child(found, pid);
            at = end;
        }
        return found.count;
    }
    // (a kernel without the list: every process is a candidate)
    const int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        each_entry(fd, take_process, &found);
        close(fd);
    }
    return found.count;
}

// Ends and reaps every child of the sweep's that it did not start itself:
// what a tool left behind, in a session or a group of its own, which came to
// the sweep as the reaper of its descendants once its parent ended; then
// what those left, in rounds.
void end_strays(const sweep &s) {
    if (!s.strays) {
        return;
    }
    for (int round = 0; round < STRAY_ROUNDS; ++round) {
        static pid_t found[STRAYS_MAX];
        const std::span<pid_t> pids(found);
        const int count = children_of_sweep(pids);
        int strays = 0;
        for (const pid_t pid : pids.first(static_cast<size_t>(count))) {
            if (pid != s.tool.pid && pid != s.parker.pid && pid != s.guard.pid) {
                kill(-pid, SIGKILL);
                kill(pid, SIGKILL);
                pids[static_cast<size_t>(strays++)] = pid;
            }
        }
        for (const pid_t pid : pids.first(static_cast<size_t>(strays))) {
            reap(pid, -1, REAP_MS);
        }
        if (strays == 0) {
            return;
        }
    }
}

// Reads what the pipe holds now into out after used bytes, dropping what
// does not fit; returns the bytes kept so far. Sets ended at its end.
size_t drain(int fd, std::span<char> out, size_t used, bool &ended) {
    char chunk[OUT_MAX];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            ended = true;
            return used;
        }
        if (n < 0) {
            return used;
        }
        const size_t room = out.size() - 1 - used;
        const size_t take = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
        memcpy(out.subspan(used).data(), chunk, take);
        used += take;
    }
}

// The output kept: its first lines, without the line break that ends them.
void keep_lines(std::span<char> out, size_t used) {
    size_t end = 0;
    int lines = 0;
    while (end < used && lines < OUT_LINES) {
        const char *const next =
            static_cast<const char *>(memchr(out.subspan(end).data(), '\n', used - end));
        end = next == nullptr ? used : static_cast<size_t>(next - out.data()) + 1;
        ++lines;
    }
    if (end > 0 && out[end - 1] == '\n') {
        --end;
    }
    out[end] = '\0';
}

// The child has ended, by its pidfd or, without one, by a look; it stays
// unreaped, and so keeps its process group's id from reuse.
bool has_ended(const child &c, short revents) {
    if (c.pidfd >= 0) {
        return (revents & POLLIN) != 0;
    }
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(c.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid != 0;
}

// Waits until the deadline for the child to end, keeping its output in
// s.out (used bytes of it so far); true where it ended.
bool await_end(sweep &s, const child &c, long long deadline, size_t &used, bool &drained) {
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            return false;
        }
        // (a pipe at its end is polled no more: it would wake the poll at
        // once; without a pidfd, the end is looked for every 10 ms)
        pollfd fds[3] = {{.fd = s.signals, .events = POLLIN, .revents = 0},
                         {.fd = drained ? -1 : c.out, .events = POLLIN, .revents = 0},
                         {.fd = c.pidfd, .events = POLLIN, .revents = 0}};
        poll(fds, c.pidfd >= 0 ? 3 : 2,
             static_cast<int>(c.pidfd >= 0 ? left : std::min(left, 10LL)));
        heed_signals(s);
        if (!drained && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            used = drain(c.out, std::span(s.out), used, drained);
        }
        if (has_ended(c, fds[2].revents)) {
            return true;
        }
    }
}

// What goes wrong starting a child, with the limit behind it where there is
// one.
void hinder_start(sweep &s, const char *name, const char *call, int error) {
    rlimit limit{};
    const int which = error == EAGAIN ? RLIMIT_NPROC : RLIMIT_NOFILE;
    if ((error == EAGAIN || error == EMFILE) && getrlimit(which, &limit) == 0 &&
        limit.rlim_cur != RLIM_INFINITY) {
        hinder(s, "%s cannot be started: %s: %s (the limit on %s is %llu)", name, call,
               strerror(error), error == EAGAIN ? "processes, RLIMIT_NPROC," : "descriptors",
               static_cast<unsigned long long>(limit.rlim_cur));
    } else {
        hinder(s, "%s cannot be started: %s: %s", name, call, strerror(error));
    }
}

// In the child: its group or session, its standard descriptors, then what it
// runs; the errno of a failure into the pipe failed.
[[noreturn]] void in_child(const start_how &how, int out, int failed, pid_t sweep_pid) {
    if (how.session) {
        setsid();
    } else {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != sweep_pid) {
            _exit(127);
        }
    }
    const int input = how.input >= 0 ? how.input : open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (dup2(input, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
        dup2(out, STDERR_FILENO) < 0) {
        _exit(127);
    }
    how.body(how.context);
    const int error = errno;
    [[maybe_unused]] const ssize_t said = write(failed, &error, sizeof error);
    _exit(127);
}

// The tool's run: every signal at its default and none blocked, whatever the
// sweep and its caller left, then its program.
struct tool_run {
    const char *path;
    const char *const *args;
};

void exec_tool(const void *context) {
    const auto &tool = *static_cast<const tool_run *>(context);
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (number != SIGKILL && number != SIGSTOP) {
            signal(number, SIG_DFL);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): execv's old signature
    execv(tool.path, const_cast<char *const *>(tool.args));
}

} // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void text_set(text &t, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    const int n = vsnprintf(t.s, sizeof t.s, format, arguments);
    va_end(arguments);
    t.length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof t.s - 1);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void text_add(text &t, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::span<char> room = std::span(t.s).subspan(t.length);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    const int n = vsnprintf(room.data(), room.size(), format, arguments);
    va_end(arguments);
    t.length += n < 0 ? 0 : std::min(static_cast<size_t>(n), room.size() - 1);
}

long settle(sweep &s) {
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &default_action, nullptr);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t set;
    sigemptyset(&set);
    for (int number = 1; number <= SIGRTMAX; ++number) {
        struct sigaction now = {};
        // (the C library refuses its own real-time signals)
        if (ends_by_default(number) && sigaction(number, nullptr, &now) == 0 &&
            now.sa_handler != SIG_IGN) {
            sigaddset(&set, number);
        }
    }
    sigprocmask(SIG_SETMASK, &set, nullptr);
    s.signals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    // (with no signalfd, the signals keep their default, which ends the
    // sweep at once: its tools then die with it)
    if (s.signals < 0) {
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }
    rlimit processes{};
    if (getrlimit(RLIMIT_NPROC, &processes) == 0 && processes.rlim_cur < processes.rlim_max) {
        processes.rlim_cur = processes.rlim_max;
        setrlimit(RLIMIT_NPROC, &processes);
    }
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
        return DESCRIPTORS_HOTPLUG;
    }
    if (descriptors.rlim_cur < DESCRIPTORS_HOTPLUG) {
        descriptors.rlim_cur = std::min(descriptors.rlim_max, rlim_t{DESCRIPTORS_HOTPLUG});
        setrlimit(RLIMIT_NOFILE, &descriptors);
        getrlimit(RLIMIT_NOFILE, &descriptors);
    }
    return static_cast<long>(std::min(descriptors.rlim_cur, rlim_t{DESCRIPTORS_HOTPLUG}));
}

void end_sweep(sweep &s, int status) {
    bring_back(s);
    end_child(s.tool);
    end_child(s.parker);
    end_strays(s);
    // (every line of the report is written already)
    _exit(confirm_report(s, status));
}

void heed_signals(sweep &s) {
    signalfd_siginfo info{};
    if (s.signals >= 0 && read(s.signals, &info, sizeof info) == sizeof info) {
        end_sweep(s, 128 + static_cast<int>(info.ssi_signo));
    }
}

void nap(sweep &s, int ms) {
    pollfd signals{.fd = s.signals, .events = POLLIN, .revents = 0};
    poll(&signals, s.signals >= 0 ? 1 : 0, ms);
    heed_signals(s);
}

bool start_child(sweep &s, child &c, const start_how &how) {
    c = child{};
    int out_fds[2];
    int failed_fds[2];
    if (pipe2(out_fds, O_CLOEXEC) == -1) {
        hinder_start(s, how.name, "pipe", errno);
        return false;
    }
    if (pipe2(failed_fds, O_CLOEXEC) == -1) {
        hinder_start(s, how.name, "pipe", errno);
        close(out_fds[0]);
        close(out_fds[1]);
        return false;
    }
    s.strays = true;
    const pid_t sweep_pid = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        in_child(how, out_fds[1], failed_fds[1], sweep_pid);
    }
    const int error = errno;
    close(out_fds[1]);
    close(failed_fds[1]);
    if (pid < 0) {
        close(out_fds[0]);
        close(failed_fds[0]);
        hinder_start(s, how.name, "fork", error);
        return false;
    }
    // (set here as well, so that the group is there before the sweep goes on)
    if (!how.session) {
        setpgid(pid, pid);
    }
    fcntl(out_fds[0], F_SETFL, O_NONBLOCK);
    fcntl(failed_fds[0], F_SETFL, O_NONBLOCK);
    c = child{.name = how.name,
              .pid = pid,
              .pidfd = open_pidfd(pid),
              .out = out_fds[0],
              .in = -1,
              .failed = failed_fds[0]};
    heed_signals(s);
    return true;
}

bool start_tool(sweep &s, child &c, const char *path, const char *const *args) {
    const char *const slash = strrchr(path, '/');
    // (the child runs it before this returns)
    const tool_run tool{.path = path, .args = args};
    return start_child(s, c,
                       start_how{.name = slash != nullptr ? slash + 1 : path,
                                 .session = false,
                                 .input = -1,
                                 .body = exec_tool,
                                 .context = &tool});
}

bool finish_child(sweep &s, child &c, int ms) {
    s.out[0] = '\0';
    size_t used = 0;
    bool drained = false;
    const bool ended = await_end(s, c, now_ms() + ms, used, drained);
    kill(-c.pid, SIGKILL);
    kill(c.pid, SIGKILL);
    const int status = reap(c.pid, c.pidfd, REAP_MS);
    c.pid = -1;
    if (!drained) {
        used = drain(c.out, std::span(s.out), used, drained);
    }
    keep_lines(std::span(s.out), used);
    int error = 0;
    const bool exec_failed = read(c.failed, &error, sizeof error) == sizeof error;
    const char *const name = c.name;
    end_child(c);
    end_strays(s);
    s.status = status < 0 || WIFSIGNALED(status) ? 128 + (status < 0 ? SIGKILL : WTERMSIG(status))
                                                 : WEXITSTATUS(status);
    if (exec_failed) {
        hinder(s, "%s cannot be run: %s", name, strerror(error));
        return false;
    }
    if (!ended) {
        const size_t length = strlen(s.out);
        snprintf(std::span(s.out).subspan(length).data(), sizeof s.out - length,
                 "%s(ended by SIGKILL: no verdict within %d s)", length > 0 ? "\n" : "", ms / 1000);
    }
    return ended;
}

int first_byte(sweep &s, const child &c, int ms) {
    const long long deadline = now_ms() + ms;
    for (long long left = ms; left > 0; left = deadline - now_ms()) {
        pollfd fds[2] = {{.fd = s.signals, .events = POLLIN, .revents = 0},
                         {.fd = c.out, .events = POLLIN, .revents = 0}};
        poll(fds, 2, static_cast<int>(left));
        heed_signals(s);
        unsigned char byte = 0;
        const ssize_t n = read(c.out, &byte, 1);
        if (n == 1) {
            return byte;
        }
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return -1;
        }
    }
    return -1;
}

void end_child(child &c, int grace_ms) {
    if (c.pid > 0 && grace_ms > 0 && reap(c.pid, c.pidfd, grace_ms) >= 0) {
        c.pid = -1;
    }
    if (c.pid > 0) {
        kill(-c.pid, SIGKILL);
        kill(c.pid, SIGKILL);
        reap(c.pid, c.pidfd, REAP_MS);
        c.pid = -1;
    }
    close_fd(c.pidfd);
    close_fd(c.out);
    close_fd(c.in);
    close_fd(c.failed);
}

bool run_tool(sweep &s, const char *path, const char *const *args) {
    if (!start_tool(s, s.tool, path, args)) {
        s.status = -1;
        s.out[0] = '\0';
        return false;
    }
    return finish_child(s, s.tool, BOUND_SECONDS * 1000);
}

bool run_corehop(sweep &s, const char *corehop, int cpu, pid_t task) {
    char cpu_text[16]{};
    char task_text[16];
    snprintf(cpu_text, sizeof cpu_text, "%d", cpu);
    snprintf(task_text, sizeof task_text, "%d", task);
    const char *const args[] = {corehop, "-c", cpu_text, "-p", task_text, nullptr};
    return run_tool(s, corehop, args);
}

void pass_line(text &t, pid_t task, int cpu) {
    text_set(t, "Pass: switch thread %d to cpu %d success", task, cpu);
}

void fail_line(text &t, pid_t task, int cpu) {
    text_set(t, "Fail:can not switch thread %d to CPU %d", task, cpu);
}
