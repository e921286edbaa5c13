// SPDX-License-Identifier: MIT
#include "lifetime.h"
#include "child_text.h"
#include "proc_text.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The strays ended at once, at most, and the rounds of their own strays
// after them.
constexpr int STRAYS_MAX = 256;
constexpr int STRAY_ROUNDS = 8;
constexpr int TRACKED_MAX = 4;

// Everything a way out needs.
struct lifetime {
    int signals = -1;
    child *tracked[TRACKED_MAX]{};
    bool tools_started = false;
    bool report_lost = false;
    child guard;
    int offline = -1;
};

lifetime &the_run() {
    static lifetime run;
    return run;
}

void close_fd(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Hears a signal that came: the run ends with 128 plus its number.
void heed_signals() {
    signalfd_siginfo info{};
    if (the_run().signals >= 0 && read(the_run().signals, &info, sizeof info) == sizeof info) {
        end_run(128 + static_cast<int>(info.ssi_signo));
    }
}

// A pid that is a child of the run's, alive or ended, that no one has
// reaped: its pid is then no one else's.
bool is_own_child(long pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

struct children_found {
    std::span<long> pids;
    size_t count;
};

walk_step take_process(void *context, std::span<char> path, int /*depth*/, unsigned char /*type*/,
                       unseen & /*failed*/) {
    auto &found = *static_cast<children_found *>(context);
    const char *const name = strrchr(path.data(), '/') + 1;
    char *end = nullptr;
    const long pid = strtol(name, &end, 10);
    if (*end == '\0' && pid > 0 && found.count < found.pids.size() && is_own_child(pid)) {
        found.pids[found.count++] = pid;
    }
    return walk_step::pass;
}

// The children of the run's into pids, from the kernel's list of them, or
// else from every process of /proc: their count.
size_t children_of_run(std::span<long> pids) {
    char path[64]{};
    snprintf(path, sizeof path, "/proc/%d/task/%d/children", getpid(), getpid());
    static char list[STRAYS_MAX * 12];
    children_found found{.pids = pids, .count = 0};
    if (!is_unseen(read_file(path, list))) {
        static long listed[STRAYS_MAX];
        const size_t count = children_parse(list, listed);
        for (const long pid : std::span(listed).first(count)) {
            if (is_own_child(pid)) {
                pids[found.count++] = pid;
            }
        }
        return found.count;
    }
    // (a kernel without the list: every process is a candidate)
    static char proc[PATH_TEXT_MAX] = "/proc";
    walk_folder(proc, 1, take_process, &found);
    return found.count;
}

bool is_tracked(pid_t pid) {
    const lifetime &run = the_run();
    if (pid == run.guard.pid) {
        return true;
    }
    return std::ranges::any_of(run.tracked,
                               [pid](const child *c) { return c != nullptr && c->pid == pid; });
}

void online_path(int cpu, std::span<char> path) {
    snprintf(path.data(), path.size(), "/sys/devices/system/cpu/cpu%d/online", cpu);
}

} // namespace

run_start begin_run() {
    lifetime &run = the_run();
    run_start start{.descriptors = DESCRIPTORS_HOTPLUG, .no_reaper = {}};
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &default_action, nullptr);
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        start.no_reaper = unseen_call("prctl(PR_SET_CHILD_SUBREAPER)", errno);
    }
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
    run.signals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    // (with no signalfd, the signals keep their default, which ends the run
    // at once: its tools then die with it)
    if (run.signals < 0) {
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }
    rlimit processes{};
    if (getrlimit(RLIMIT_NPROC, &processes) == 0 && processes.rlim_cur < processes.rlim_max) {
        processes.rlim_cur = processes.rlim_max;
        setrlimit(RLIMIT_NPROC, &processes);
    }
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
        return start;
    }
    if (descriptors.rlim_cur < DESCRIPTORS_HOTPLUG) {
        descriptors.rlim_cur = std::min(descriptors.rlim_max, rlim_t{DESCRIPTORS_HOTPLUG});
        setrlimit(RLIMIT_NOFILE, &descriptors);
        getrlimit(RLIMIT_NOFILE, &descriptors);
    }
    start.descriptors =
        static_cast<long>(std::min(descriptors.rlim_cur, rlim_t{DESCRIPTORS_HOTPLUG}));
    return start;
}

long long now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<long long>(now.tv_sec) * 1000) + (now.tv_nsec / 1000000);
}

unseen await(std::span<pollfd> fds, int ms) {
    constexpr size_t most = 4;
    pollfd all[most + 1]{};
    const size_t count = std::min(fds.size(), most);
    std::copy_n(fds.begin(), count, std::begin(all));
    const std::span<pollfd> polled(all);
    polled[count] = {.fd = the_run().signals, .events = POLLIN, .revents = 0};
    const int ready = poll(all, count + (the_run().signals >= 0 ? 1 : 0), ms);
    const int error = ready < 0 ? errno : 0;
    heed_signals();
    std::copy_n(std::begin(all), count, fds.begin());
    return error == 0 || error == EINTR ? unseen{} : unseen_call("poll", error);
}

unseen nap(int ms) {
    return await({}, ms);
}

void track(child &c) {
    for (child *&slot : the_run().tracked) {
        if (slot == nullptr || slot == &c) {
            slot = &c;
            return;
        }
    }
}

void note_tools_started() {
    the_run().tools_started = true;
}

unseen reap(pid_t pid, int pidfd, int ms, int &status) {
    const long long deadline = now_ms() + ms;
    for (;;) {
        const pid_t got = waitpid(pid, &status, WNOHANG);
        const int error = got < 0 ? errno : 0;
        if (got == pid) {
            return {};
        }
        if (got < 0 && error != EINTR) {
            return unseen_call("wait4", error);
        }
        const long long left = deadline - now_ms();
        if (left <= 0) {
            return unseen_call("wait4", ETIMEDOUT);
        }
        pollfd fd{.fd = pidfd, .events = POLLIN, .revents = 0};
        poll(&fd, pidfd >= 0 ? 1 : 0, static_cast<int>(pidfd >= 0 ? left : std::min(left, 10LL)));
    }
}

void end_child(child &c, int grace_ms) {
    int status = 0;
    if (c.pid > 0 && grace_ms > 0 && !is_unseen(reap(c.pid, c.pidfd, grace_ms, status))) {
        c.pid = -1;
    }
    if (c.pid > 0) {
        kill(-c.pid, SIGKILL);
        kill(c.pid, SIGKILL);
        reap(c.pid, c.pidfd, REAP_MS, status);
        c.pid = -1;
    }
    close_fd(c.pidfd);
    close_fd(c.output);
    close_fd(c.input);
    close_fd(c.start_report);
    for (child *&slot : the_run().tracked) {
        slot = slot == &c ? nullptr : slot;
    }
}

void end_strays() {
    if (!the_run().tools_started) {
        return;
    }
    for (int round = 0; round < STRAY_ROUNDS; ++round) {
        static long found_pids[STRAYS_MAX];
        const std::span<long> found(found_pids);
        const size_t count = children_of_run(found);
        size_t strays = 0;
        for (const long pid : found.first(count)) {
            if (!is_tracked(static_cast<pid_t>(pid))) {
                kill(static_cast<pid_t>(-pid), SIGKILL);
                kill(static_cast<pid_t>(pid), SIGKILL);
                found[strays++] = pid;
            }
        }
        for (const long pid : found.first(strays)) {
            int status = 0;
            reap(static_cast<pid_t>(pid), -1, REAP_MS, status);
        }
        if (strays == 0) {
            return;
        }
    }
}

unseen set_online(int cpu, bool online) {
    char path[64]{};
    online_path(cpu, path);
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return unseen_said(path, errno, "%s refused %c: %s", path, online ? '1' : '0',
                           strerror(errno));
    }
    const int written = static_cast<int>(write(fd, online ? "1\n" : "0\n", 2));
    const int error = written == 2 ? 0 : errno;
    close(fd);
    return error == 0 ? unseen{}
                      : unseen_said(path, error, "%s refused %c: %s", path, online ? '1' : '0',
                                    strerror(error));
}

child &guard() {
    return the_run().guard;
}

void note_offline(int cpu) {
    the_run().offline = cpu;
}

brought_back bring_back() {
    lifetime &run = the_run();
    brought_back back{.refused = {}, .online = true};
    const int cpu = run.offline;
    if (cpu >= 0) {
        back.refused = set_online(cpu, true);
        run.offline = -1;
    }
    if (run.guard.pid > 0) {
        // Done: the guard ends without a write. Where the run could not
        // bring the CPU back, its input ends without the byte, and it tries
        // too. (A guard gone makes the send fail, with no signal.)
        const char done = 'd';
        if (!is_unseen(back.refused)) {
            send(run.guard.input, &done, 1, MSG_NOSIGNAL);
        }
        close_fd(run.guard.input);
        end_child(run.guard, REAP_MS);
    }
    if (is_unseen(back.refused)) {
        char path[64]{};
        char now[8]{};
        online_path(cpu, path);
        back.online = !is_unseen(read_line(path, now)) && strcmp(now, "1") == 0;
    }
    return back;
}

void note_report_lost() {
    the_run().report_lost = true;
}

void end_run(int status) {
    const lifetime &run = the_run();
    bring_back();
    for (child *c : run.tracked) {
        if (c != nullptr) {
            end_child(*c);
        }
    }
    end_strays();
    // A file system may say only at the close that what it took cannot be
    // written (NFS, FUSE).
    if (run.report_lost && status <= 4) {
        _exit(1);
    }
    if (status <= 4 && close(STDOUT_FILENO) != 0) {
        complain("the report cannot be written on standard output: %s", strerror(errno));
        _exit(1);
    }
    _exit(status);
}
