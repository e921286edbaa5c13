// SPDX-License-Identifier: MIT
// The tools the sweep runs, each in a process group of its own and watched
// by the kernel's own means: a pidfd for its end, a pipe for its output, a
// signalfd for the signals that end the sweep.
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
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

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

// The number of a signal that came, or 0.
int signal_came(const sweep &s) {
    signalfd_siginfo info{};
    if (s.signals >= 0 && read(s.signals, &info, sizeof info) == sizeof info) {
        return static_cast<int>(info.ssi_signo);
    }
    return 0;
}

void end_if_signalled(sweep &s) {
    const int number = signal_came(s);
    if (number != 0) {
        end_sweep(s, 128 + number);
    }
}

void close_fd(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Ends the child's process group at once and waits for the child: the end
// of every way out.
void kill_child(child &c) {
    if (c.pid > 0) {
        kill(-c.pid, SIGKILL);
        kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
        c.pid = -1;
    }
    close_fd(c.pidfd);
    close_fd(c.out);
}

// Reads what the pipe holds now into s.out after used bytes, dropping what
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

long long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<long long>(now.tv_sec) * 1000) + (now.tv_nsec / 1000000);
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

} // namespace

int open_pidfd(pid_t pid) {
    // (by the call's name, not the C library's wrapper, which Debian 12's
    // headers declare without C linkage)
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void text_set(text &t, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    const int n = vsnprintf(t.s, sizeof t.s, format, arguments);
    va_end(arguments);
    t.length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof t.s - 1);
}

void catch_signals(sweep &s) {
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
}

void end_sweep(sweep &s, int status) {
    bring_back(s);
    kill_child(s.tool);
    kill_child(s.parker);
    // (every line of the report is out already)
    _exit(status);
}

void nap(sweep &s, int ms) {
    pollfd signals{.fd = s.signals, .events = POLLIN, .revents = 0};
    poll(&signals, s.signals >= 0 ? 1 : 0, ms);
    end_if_signalled(s);
}

void start_tool(sweep &s, child &c, const char *path, const char *const *args) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) == -1) {
        c = child{};
        return;
    }
    const pid_t sweep_pid = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != sweep_pid) {
            _exit(127);
        }
        for (int number = 1; number <= SIGRTMAX; ++number) {
            if (number != SIGKILL && number != SIGSTOP) {
                signal(number, SIG_DFL);
            }
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(input, STDIN_FILENO);
        dup2(pipe_fds[1], STDOUT_FILENO);
        dup2(pipe_fds[1], STDERR_FILENO);
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): execv's old signature
        execv(path, const_cast<char *const *>(args));
        dprintf(STDOUT_FILENO, "corehop-sweep: %s cannot be run: %s\n", path, strerror(errno));
        _exit(127);
    }
    close(pipe_fds[1]);
    if (pid < 0) {
        close(pipe_fds[0]);
        c = child{};
        return;
    }
    // (set here as well, so that the group is there before the parent goes on)
    setpgid(pid, pid);
    fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    c = child{.pid = pid, .pidfd = open_pidfd(pid), .out = pipe_fds[0]};
    end_if_signalled(s);
}

bool finish_tool(sweep &s, child &c, int ms) {
    s.out[0] = '\0';
    if (c.pid <= 0) {
        s.status = 127;
        snprintf(s.out, sizeof s.out, "corehop-sweep: cannot start a process: %s", strerror(errno));
        return true;
    }
    size_t used = 0;
    bool ended = false;
    bool bounded = false;
    const long long deadline = now_ms() + ms;
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            bounded = true;
            break;
        }
        // (a pipe at its end is polled no more: it would wake the poll at
        // once; without a pidfd, the end is looked for every 10 ms)
        pollfd fds[3] = {{.fd = s.signals, .events = POLLIN, .revents = 0},
                         {.fd = ended ? -1 : c.out, .events = POLLIN, .revents = 0},
                         {.fd = c.pidfd, .events = POLLIN, .revents = 0}};
        poll(fds, c.pidfd >= 0 ? 3 : 2,
             static_cast<int>(c.pidfd >= 0 ? left : std::min(left, 10LL)));
        end_if_signalled(s);
        if (!ended && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            used = drain(c.out, std::span(s.out), used, ended);
        }
        if (has_ended(c, fds[2].revents)) {
            break;
        }
    }
    kill(-c.pid, SIGKILL);
    if (bounded) {
        kill(c.pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(c.pid, &status, 0) == -1 && errno == EINTR) {
    }
    c.pid = -1;
    if (!ended) {
        used = drain(c.out, std::span(s.out), used, ended);
    }
    keep_lines(std::span(s.out), used);
    close_fd(c.pidfd);
    close_fd(c.out);
    s.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    if (bounded) {
        const size_t length = strlen(s.out);
        snprintf(std::span(s.out).subspan(length).data(), sizeof s.out - length,
                 "%s(ended by SIGKILL: no verdict within %d s)", length > 0 ? "\n" : "",
                 BOUND_SECONDS);
    }
    return !bounded;
}

namespace {

// text on diagnostic lines, the first after label.
void diagnose(sweep &s, const char *label, const char *text) {
    for (;;) {
        const char *const end = strchr(text, '\n');
        const int length =
            end == nullptr ? static_cast<int>(strlen(text)) : static_cast<int>(end - text);
        out(s, "# %s %.*s\n", label, length, text);
        if (end == nullptr) {
            return;
        }
        text = end + 1;
        label = "         ";
    }
}

} // namespace

// "ok" where got is want; else "not ok", then what was expected and came.
void result(sweep &s, const char *what, const char *got, const char *want) {
    ++s.number;
    if (strcmp(got, want) == 0) {
        ++s.passed;
        out(s, "ok %d %s\n", s.number, what);
    } else {
        ++s.failed;
        out(s, "not ok %d %s\n", s.number, what);
        diagnose(s, "expected:", want);
        diagnose(s, "got:     ", got);
    }
}

// A check that cannot run, or cannot show, here.
void skip(sweep &s, const char *what, const char *reason) {
    ++s.number;
    out(s, "ok %d %s # SKIP %s\n", s.number, what, reason);
}

void run_tool(sweep &s, const char *path, const char *const *args) {
    start_tool(s, s.tool, path, args);
    finish_tool(s, s.tool, BOUND_SECONDS * 1000);
}

void run_corehop(sweep &s, const char *corehop, int cpu, pid_t task) {
    char cpu_text[16]{};
    char task_text[16];
    snprintf(cpu_text, sizeof cpu_text, "%d", cpu);
    snprintf(task_text, sizeof task_text, "%d", task);
    const char *const args[] = {corehop, "-c", cpu_text, "-p", task_text, nullptr};
    run_tool(s, corehop, args);
}

void pass_line(text &t, pid_t task, int cpu) {
    text_set(t, "Pass: switch thread %d to cpu %d success", task, cpu);
}

void fail_line(text &t, pid_t task, int cpu) {
    text_set(t, "Fail:can not switch thread %d to CPU %d", task, cpu);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): a printf-style function, its format checked by the compiler
void out(sweep &s, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start set it
    const int printed = vprintf(format, arguments);
    va_end(arguments);
    if (printed >= 0 && fflush(stdout) == 0) {
        return;
    }
    // (a reader gone: SIGPIPE, unless the caller left it ignored)
    end_if_signalled(s);
    fprintf(stderr, "corehop-sweep: the report cannot be written on standard output\n");
    end_sweep(s, 1);
}
