// SPDX-License-Identifier: MIT
// Every thread and every interrupt of the machine, as /proc shows them,
// read so that nothing unseen passes for absent: a task or an interrupt
// that ends meanwhile is passed over, any other read that fails stops the
// walk, and what /proc hides from this process (its mount options, another
// PID namespace, a missing right) is said before any walk.
#pragma once

#include "files.h"

#include <span>
#include <string_view>

// Whether /proc shows every task of the machine to this process: a /proc
// of the first PID namespace, whose options hide nothing from it. Else why
// not; hidden names what another PID namespace's /proc hides ("the tasks
// outside it").
unseen every_task_seen(const char *hidden);
// Whether this process lies in the first namespace of the kind ("pid",
// "cgroup").
unseen first_namespace(const char *kind, bool &first);

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
// passed over unread).
unseen each_thread(bool kernel_too, long skip_pid,
                   bool (*visit)(void *context, const thread_seen &thread), void *context);
// Calls visit(context, number, affinity) for each interrupt in /proc/irq,
// with the list of the CPUs it may use, until it returns false. A /proc
// without /proc/irq (subset=pid) shows none of them: that is said.
unseen each_irq(bool (*visit)(void *context, const char *number, std::string_view affinity),
                void *context);
// The name of the interrupt's handler (a folder of it stands beside its
// files) into action: "" where it handles nothing.
unseen irq_action(const char *number, std::span<char> action);
// A file of the interrupt's folder, as read_line reads it; shown false
// where there is none.
unseen irq_file(const char *number, const char *name, std::span<char> buf, bool &shown);
// The pid /proc shows this process as.
unseen proc_self(long &pid);
