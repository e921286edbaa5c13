// SPDX-License-Identifier: MIT
// Every thread and every interrupt of the machine, as /proc shows them, read
// so that nothing unseen passes for absent: a task or an interrupt that ends
// meanwhile is passed over, and any other read that fails stops the walk,
// naming the file and the error.
#include "proc_text.h"
#include "sweep.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

long number_of(const char *name) {
    char *end = nullptr;
    const long number = strtol(name, &end, 10);
    return *name != '\0' && *end == '\0' ? number : -1;
}

// Opens a folder: its descriptor, -1 where it is gone (gone is true where
// the error says so), or -1 with failed.
int open_folder(const char *path, bool (*is_gone)(int), unread &failed) {
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && !is_gone(errno)) {
        note_unread(failed, path, errno);
    }
    return fd;
}

// Walks a folder's entries; false, with failed, where it cannot be read.
bool walk_folder(int fd, const char *path, bool (*visit)(void *, const char *, unsigned char),
                 void *context, unread &failed) {
    const int error = each_entry(fd, visit, context);
    close(fd);
    if (error != 0 && failed.error == 0) {
        note_unread(failed, path, error);
    }
    return failed.error == 0;
}

struct thread_walk {
    bool kernel_too;
    pid_t skip_pid;
    bool (*visit)(void *, const thread_seen &);
    void *context;
    unread *failed;
    long pid;
    bool stopped;
};

// Reads a file of a thread: 1, 0 where the thread is gone, -1 with failed.
int read_thread_file(thread_walk &walk, long tid, const char *name, std::span<char> buf) {
    char path[96]{};
    snprintf(path, sizeof path, "/proc/%ld/task/%ld/%s", walk.pid, tid, name);
    if (read_file(path, buf) >= 0) {
        return 1;
    }
    if (task_gone(errno)) {
        return 0;
    }
    note_unread(*walk.failed, path, errno);
    return -1;
}

bool visit_thread(void *context, const char *name, unsigned char /*type*/) {
    auto &walk = *static_cast<thread_walk *>(context);
    const long tid = number_of(name);
    if (tid < 0) {
        return true;
    }
    char stat[1024]{};
    int read = read_thread_file(walk, tid, "stat", stat);
    if (read <= 0) {
        return read == 0;
    }
    const task_stat task = task_stat_parse(stat);
    const bool kernel = (task.flags & TASK_KERNEL_THREAD) != 0;
    if (kernel && !walk.kernel_too) {
        return true;
    }
    static char status[CPU_LIST_TEXT_MAX * 2];
    read = read_thread_file(walk, tid, "status", status);
    if (read <= 0) {
        return read == 0;
    }
    const thread_seen seen{.pid = walk.pid,
                           .tid = tid,
                           .comm = task.comm,
                           .state = task.state,
                           .kernel = kernel,
                           .cpus = status_field(status, "Cpus_allowed_list")};
    walk.stopped = !walk.visit(walk.context, seen);
    return !walk.stopped;
}

bool visit_process(void *context, const char *name, unsigned char /*type*/) {
    auto &walk = *static_cast<thread_walk *>(context);
    walk.pid = number_of(name);
    if (walk.pid < 0 || walk.pid == walk.skip_pid) {
        return true;
    }
    char path[64]{};
    snprintf(path, sizeof path, "/proc/%ld/task", walk.pid);
    const int fd = open_folder(path, task_gone, *walk.failed);
    if (fd < 0) {
        return walk.failed->error == 0;
    }
    return walk_folder(fd, path, visit_thread, &walk, *walk.failed) && !walk.stopped;
}

struct irq_walk {
    bool (*visit)(void *, const char *, std::string_view);
    void *context;
    unread *failed;
};

bool irq_gone(int error) {
    return error == ENOENT;
}

bool never_gone(int /*error*/) {
    return false;
}

bool visit_irq(void *context, const char *name, unsigned char /*type*/) {
    auto &walk = *static_cast<irq_walk *>(context);
    if (number_of(name) < 0) {
        return true;
    }
    char path[96]{};
    snprintf(path, sizeof path, "/proc/irq/%s/smp_affinity_list", name);
    static char list[CPU_LIST_TEXT_MAX];
    const int error = read_line(path, list);
    if (error != 0) {
        if (!irq_gone(error)) {
            note_unread(*walk.failed, path, error);
        }
        return irq_gone(error);
    }
    return walk.visit(walk.context, name, list);
}

// The first folder of an interrupt's: its handler, by the name it took.
bool first_folder(void *context, const char *name, unsigned char type) {
    if (type != DT_DIR) {
        return true;
    }
    const auto action = *static_cast<std::span<char> *>(context);
    snprintf(action.data(), action.size(), "%s", name);
    return false;
}

} // namespace

bool note_unread(unread &failed, const char *file, int error) {
    snprintf(failed.file, sizeof failed.file, "%s", file);
    failed.error = error;
    return false;
}

int first_namespace(const char *kind, text &why) {
    // (the inodes the kernel gives the namespaces it starts with)
    constexpr ino_t FIRST_PID = 0xEFFFFFFC;
    constexpr ino_t FIRST_CGROUP = 0xEFFFFFFB;
    char path[64]{};
    snprintf(path, sizeof path, "/proc/self/ns/%s", kind);
    struct stat ns = {};
    if (stat(path, &ns) != 0) {
        text_set(why, "%s cannot be read: %s", path, strerror(errno));
        return -1;
    }
    return static_cast<int>(ns.st_ino == (strcmp(kind, "pid") == 0 ? FIRST_PID : FIRST_CGROUP));
}

bool each_thread(bool kernel_too, pid_t skip_pid,
                 bool (*visit)(void *context, const thread_seen &thread), void *context,
                 unread &failed) {
    failed = unread{};
    thread_walk walk{.kernel_too = kernel_too,
                     .skip_pid = skip_pid,
                     .visit = visit,
                     .context = context,
                     .failed = &failed,
                     .pid = -1,
                     .stopped = false};
    const int fd = open_folder("/proc", never_gone, failed);
    return fd >= 0 && walk_folder(fd, "/proc", visit_process, &walk, failed);
}

bool each_irq(bool (*visit)(void *context, const char *number, std::string_view affinity),
              void *context, unread &failed) {
    failed = unread{};
    irq_walk walk{.visit = visit, .context = context, .failed = &failed};
    const int fd = open_folder("/proc/irq", irq_gone, failed);
    // (a kernel without interrupts to bind shows no /proc/irq)
    if (fd < 0) {
        return failed.error == 0;
    }
    return walk_folder(fd, "/proc/irq", visit_irq, &walk, failed);
}

int irq_handled(const char *number, std::span<char> action, unread &failed) {
    char path[64]{};
    snprintf(path, sizeof path, "/proc/irq/%s", number);
    action[0] = '\0';
    const int fd = open_folder(path, irq_gone, failed);
    if (fd < 0) {
        return failed.error == 0 ? 0 : -1;
    }
    return walk_folder(fd, path, first_folder, &action, failed)
               ? static_cast<int>(action[0] != '\0')
               : -1;
}

int irq_file(const char *number, const char *name, std::span<char> buf, unread &failed) {
    char path[96]{};
    snprintf(path, sizeof path, "/proc/irq/%s/%s", number, name);
    const int error = read_line(path, buf);
    if (error == 0 || irq_gone(error)) {
        return error == 0 ? 1 : 0;
    }
    note_unread(failed, path, error);
    return -1;
}
