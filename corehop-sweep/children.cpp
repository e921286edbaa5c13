// SPDX-License-Identifier: MIT
#include "children.h"
#include "child_text.h"
#include "proc_text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// The lines of a tool's output that a result shows.
constexpr int OUTPUT_LINES = 20;

// What a child says of the step of its start that failed: the call (""
// for its exec) and its errno.
struct start_failure {
    char call[32];
    int error;
};

int open_pidfd(pid_t pid) {
    // (by the call's name, not the C library's wrapper, which Debian 12's
    // headers declare without C linkage)
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// In the child: says which call failed (nullptr: the exec), and ends.
[[noreturn]] void child_failed(int report, const char *call, int error) {
    start_failure said{.call = {}, .error = error};
    // (no formatted output: the child may share the run's memory)
    for (size_t i = 0; call != nullptr && call[i] != '\0' && i + 1 < sizeof said.call; ++i) {
        std::span(said.call)[i] = call[i];
    }
    [[maybe_unused]] const ssize_t written = write(report, &said, sizeof said);
    _exit(127);
}

// In the child: its group or session, its standard descriptors (an empty
// input where none is given), then what it runs.
[[noreturn]] void in_child(const start_how &how, int output, int report, pid_t run_pid) {
    if (how.session && setsid() < 0) {
        child_failed(report, "setsid", errno);
    }
    if (!how.session) {
        if (setpgid(0, 0) != 0) {
            child_failed(report, "setpgid", errno);
        }
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
            child_failed(report, "prctl(PR_SET_PDEATHSIG)", errno);
        }
        // (the run died before the signal was set)
        if (getppid() != run_pid) {
            _exit(127);
        }
    }
    int input = how.input;
    if (input < 0) {
        int empty[2];
        if (pipe2(empty, O_CLOEXEC) != 0) {
            child_failed(report, "pipe", errno);
        }
        close(empty[1]);
        input = empty[0];
    }
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
        dup2(output, STDERR_FILENO) < 0) {
        child_failed(report, "dup2", errno);
    }
    const char *const call = how.body(how.context);
    child_failed(report, call, errno);
}

// The tasks of the user uid on the machine, as /proc shows them.
struct user_tasks {
    long uid;
    unsigned long long count;
};

walk_step count_tasks(void *context, std::span<char> path, int /*depth*/, unsigned char /*type*/,
                      unseen & /*failed*/) {
    auto &tasks = *static_cast<user_tasks *>(context);
    char *end = nullptr;
    const long pid = strtol(strrchr(path.data(), '/') + 1, &end, 10);
    static char status[4096];
    if (*end != '\0' || is_unseen(read_task_file(pid, -1, "status", status))) {
        return walk_step::pass;
    }
    const std::string_view uid = status_field(status, "Uid");
    const std::string_view threads = status_field(status, "Threads");
    long owner = -1;
    unsigned long long count = 0;
    std::from_chars(uid.data(), uid.data() + uid.size(), owner);
    std::from_chars(threads.data(), threads.data() + threads.size(), count);
    if (owner == tasks.uid) {
        tasks.count += count;
    }
    return walk_step::pass;
}

// Whether a fork's EAGAIN came from the limit on processes.
bool nproc_came(const rlimit &limit) {
    static char status[4096];
    uint64_t caps = 0;
    const bool read =
        !is_unseen(read_file("/proc/self/status", status)) && status_mask(status, "CapEff", caps);
    // (CAP_SYS_ADMIN and CAP_SYS_RESOURCE, which the limit spares)
    const bool held =
        getuid() != 0 && read && (caps & ((uint64_t{1} << 21U) | (uint64_t{1} << 24U))) == 0;
    user_tasks tasks{.uid = static_cast<long>(getuid()), .count = 0};
    if (held) {
        static char proc[PATH_TEXT_MAX] = "/proc";
        walk_folder(proc, 1, count_tasks, &tasks);
    }
    return nproc_refused(held, limit.rlim_cur, tasks.count);
}

// What went wrong starting a child, with the limit behind it where it is
// the cause.
unseen start_failed(const char *name, const char *call, int error) {
    rlimit limit{};
    const bool processes = error == EAGAIN && getrlimit(RLIMIT_NPROC, &limit) == 0 &&
                           limit.rlim_cur != RLIM_INFINITY && nproc_came(limit);
    const bool descriptors = error == EMFILE && getrlimit(RLIMIT_NOFILE, &limit) == 0;
    if (processes || descriptors) {
        return unseen_said(call, error, "%s cannot be started: %s: %s (the limit on %s is %llu)",
                           name, call, strerror(error),
                           processes ? "processes, RLIMIT_NPROC," : "descriptors",
                           static_cast<unsigned long long>(limit.rlim_cur));
    }
    return unseen_said(call, error, "%s cannot be started: %s: %s", name, call, strerror(error));
}

// Reads what the pipe holds now into r's output, dropping what does not
// fit. Sets ended at its end; the read that failed, if one did.
unseen drain(int fd, tool_result &r, bool &ended) {
    char chunk[OUTPUT_MAX];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno == EAGAIN ? unseen{} : unseen_call("read", errno);
        }
        if (n == 0) {
            ended = true;
            return {};
        }
        const size_t take = std::min(static_cast<size_t>(n), sizeof r.output - r.length);
        memcpy(std::span(r.output).subspan(r.length).data(), chunk, take);
        r.length += take;
    }
}

// The child has ended, by its pidfd or, without one, by a look; it stays
// unreaped, and so keeps its process group's id from reuse. The look that
// failed, if one did.
unseen has_ended(const child &c, short revents, bool &ended) {
    if (c.pidfd >= 0) {
        ended = (revents & POLLIN) != 0;
        return {};
    }
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(c.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return unseen_call("waitid", errno);
    }
    ended = info.si_pid != 0;
    return {};
}

// What keeps a child from being watched, as its check says it.
unseen not_watched(const char *name, const unseen &why) {
    return unseen_said(why.subject, why.error, "%s cannot be watched: %s", name, why.text);
}

// Waits until the deadline for the child to end, keeping its output; true
// where it ended. What could not be watched in r.hindrance.
bool await_end(const child &c, long long deadline, tool_result &r, bool &drained) {
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            return false;
        }
        // (a pipe at its end is polled no more: it would wake the poll at
        // once; without a pidfd, the end is looked for every 10 ms)
        pollfd fds[2] = {{.fd = drained ? -1 : c.output, .events = POLLIN, .revents = 0},
                         {.fd = c.pidfd, .events = POLLIN, .revents = 0}};
        unseen watched = await(std::span(fds).first(c.pidfd >= 0 ? 2 : 1),
                               static_cast<int>(c.pidfd >= 0 ? left : std::min(left, 10LL)));
        if (!is_unseen(watched) && !drained && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            watched = drain(c.output, r, drained);
        }
        bool ended = false;
        if (!is_unseen(watched)) {
            watched = has_ended(c, fds[1].revents, ended);
        }
        if (is_unseen(watched)) {
            r.hindrance = not_watched(c.name, watched);
            return false;
        }
        if (ended) {
            return true;
        }
    }
}

// The tool's run: every signal at its default and none blocked, whatever the
// run and its caller left; a watcher where its exec raises its privileges;
// then its program.
struct tool_exec {
    const char *path;
    const char *const *args;
    pid_t run_pid;
};

bool raises_privileges(const char *path) {
    struct stat st = {};
    if (stat(path, &st) != 0) {
        return false;
    }
    return ((st.st_mode & S_ISUID) != 0 && st.st_uid != geteuid()) ||
           ((st.st_mode & S_ISGID) != 0 && st.st_gid != getegid()) ||
           getxattr(path, "security.capability", nullptr, 0) > 0;
}

// The watcher, in the tool's process group, holding nothing of the tool's
// but a pidfd of the run: it ends the group once the run has ended, and
// itself once the tool has.
[[noreturn]] void watch(int run, pid_t tool) {
    close_range(0, static_cast<unsigned>(run) - 1, 0);
    close_range(static_cast<unsigned>(run) + 1, ~0U, 0);
    pollfd fd{.fd = run, .events = POLLIN, .revents = 0};
    int ready = 0;
    while ((ready = poll(&fd, 1, 1000)) == 0 && getppid() == tool) {
    }
    if (ready != 0) {
        kill(0, SIGKILL);
    }
    _exit(0);
}

const char *exec_tool(const void *context) {
    const auto &tool = *static_cast<const tool_exec *>(context);
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (number != SIGKILL && number != SIGSTOP) {
            signal(number, SIG_DFL);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (raises_privileges(tool.path)) {
        const int run = open_pidfd(tool.run_pid);
        if (run < 0) {
            return "pidfd_open";
        }
        const pid_t self = getpid();
        const pid_t watcher = fork();
        if (watcher == 0) {
            watch(run, self);
        }
        if (watcher < 0) {
            return "fork";
        }
        close(run);
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): execv's old signature
    execv(tool.path, const_cast<char *const *>(tool.args));
    return nullptr;
}

child &the_tool() {
    static child tool;
    return tool;
}

// The result of the last run, emptied for the next.
tool_result &the_result() {
    static tool_result r;
    r.hindrance.error = 0;
    r.hindrance.text[0] = '\0';
    r.status = 0;
    r.length = 0;
    r.in_time = false;
    return r;
}

} // namespace

unseen start_child(child &c, const start_how &how) {
    c = child{};
    int output[2];
    int report[2];
    if (pipe2(output, O_CLOEXEC) == -1) {
        return start_failed(how.name, "pipe", errno);
    }
    if (pipe2(report, O_CLOEXEC) == -1) {
        const int error = errno;
        close(output[0]);
        close(output[1]);
        return start_failed(how.name, "pipe", error);
    }
    note_tools_started();
    const pid_t run_pid = getpid();
    pid_t pid = -1;
    if (how.execs) {
        // (in the child, until its exec: its own descriptors, signals and
        // stack frames, nothing else written; every call of the child's
        // is one a child of vfork may make)
        // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.vfork,bugprone-unsafe-functions,cert-msc24-c,cert-msc33-c)
        pid = vfork();
    } else {
        pid = fork();
    }
    if (pid == 0) {
        // NOLINTNEXTLINE(clang-analyzer-unix.Vfork): it ends in an exec or _exit
        in_child(how, output[1], report[1], run_pid);
    }
    const int error = errno;
    close(output[1]);
    close(report[1]);
    if (pid < 0) {
        close(output[0]);
        close(report[0]);
        return start_failed(how.name, "fork", error);
    }
    // (set here as well, so that the group is there before the run goes on)
    if (!how.session) {
        setpgid(pid, pid);
    }
    fcntl(output[0], F_SETFL, O_NONBLOCK);
    fcntl(report[0], F_SETFL, O_NONBLOCK);
    c = child{.name = how.name,
              .pid = pid,
              .pidfd = open_pidfd(pid),
              .output = output[0],
              .input = -1,
              .start_report = report[0]};
    if (!how.session) {
        track(c);
    }
    nap(0);
    return {};
}

unseen start_tool(child &c, const char *path, const char *const *args) {
    const char *const slash = strrchr(path, '/');
    // (the child runs it before this returns)
    const tool_exec tool{.path = path, .args = args, .run_pid = getpid()};
    return start_child(c, start_how{.name = slash != nullptr ? slash + 1 : path,
                                    .session = false,
                                    .execs = true,
                                    .input = -1,
                                    .body = exec_tool,
                                    .context = &tool});
}

std::string_view output_of(const tool_result &r) {
    return {r.output, r.length};
}

const tool_result &finish_child(child &c, int ms) {
    tool_result &r = the_result();
    bool drained = false;
    r.in_time = await_end(c, now_ms() + ms, r, drained);
    kill(-c.pid, SIGKILL);
    kill(c.pid, SIGKILL);
    int status = 0;
    const unseen reaped = reap(c.pid, c.pidfd, REAP_MS, status);
    c.pid = -1;
    if (!drained) {
        const unseen read = drain(c.output, r, drained);
        if (is_unseen(read) && !is_unseen(r.hindrance)) {
            r.hindrance = not_watched(c.name, read);
        }
    }
    r.length = output_kept(output_of(r), OUTPUT_LINES);
    start_failure said{};
    const bool start_failed_said = read(c.start_report, &said, sizeof said) == sizeof said;
    const char *const name = c.name != nullptr ? c.name : "a child";
    end_child(c);
    end_strays();
    if (is_unseen(reaped)) {
        r.status = 128 + SIGKILL;
    } else {
        r.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    if (start_failed_said) {
        r.hindrance =
            said.call[0] == '\0'
                ? unseen_said(name, said.error, "%s cannot be run: %s", name, strerror(said.error))
                : unseen_said(said.call, said.error, "%s cannot be started: %s: %s", name,
                              said.call, strerror(said.error));
    } else if (is_unseen(reaped) && reaped.error != ETIMEDOUT && !is_unseen(r.hindrance)) {
        // (one that did not end in time, held in the kernel, is said as
        // its status, 137)
        r.hindrance = not_watched(name, reaped);
    }
    if (!r.in_time && !is_unseen(r.hindrance)) {
        const std::string_view said_before = output_of(r);
        const int n =
            snprintf(std::span(r.output).subspan(r.length).data(), sizeof r.output - r.length,
                     "%s(ended by SIGKILL: no verdict within %d s)",
                     said_before.empty() ? "" : "\n", ms / 1000);
        r.length = std::min(sizeof r.output - 1, r.length + static_cast<size_t>(std::max(n, 0)));
    }
    return r;
}

unseen first_byte(const child &c, int ms, int &byte) {
    byte = -1;
    const long long deadline = now_ms() + ms;
    for (long long left = ms; left > 0; left = deadline - now_ms()) {
        pollfd fd{.fd = c.output, .events = POLLIN, .revents = 0};
        unseen waited = await(std::span(&fd, 1), static_cast<int>(left));
        if (is_unseen(waited)) {
            return waited;
        }
        unsigned char said = 0;
        const ssize_t n = read(c.output, &said, 1);
        if (n == 1) {
            byte = said;
            return {};
        }
        if (n == 0) {
            return {};
        }
        if (errno != EAGAIN && errno != EINTR) {
            return unseen_call("read", errno);
        }
    }
    return {};
}

namespace {

const tool_result &not_started(const unseen &why) {
    tool_result &r = the_result();
    r.hindrance = why;
    r.status = -1;
    return r;
}

} // namespace

const tool_result &run_child(const start_how &how) {
    const unseen started = start_child(the_tool(), how);
    return is_unseen(started) ? not_started(started)
                              : finish_child(the_tool(), BOUND_SECONDS * 1000);
}

const tool_result &run_tool(const char *path, const char *const *args) {
    const unseen started = start_tool(the_tool(), path, args);
    return is_unseen(started) ? not_started(started)
                              : finish_child(the_tool(), BOUND_SECONDS * 1000);
}

const tool_result &run_corehop(const char *corehop, int cpu, long task) {
    char cpu_text[16]{};
    char task_text[24]{};
    snprintf(cpu_text, sizeof cpu_text, "%d", cpu);
    snprintf(task_text, sizeof task_text, "%ld", task);
    const char *const args[] = {corehop, "-c", cpu_text, "-p", task_text, nullptr};
    return run_tool(corehop, args);
}

void said_by(lines &l, const tool_result &r) {
    lines_add(l, "status %d: ", r.status);
    lines_append_output(l, output_of(r));
}
