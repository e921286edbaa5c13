// SPDX-License-Identifier: MIT
// The text of /proc: a task's status and stat files, its children, and
// the options of a /proc mount.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The value of a "Key:\tvalue" line of a status file, such as the list of
// Cpus_allowed_list; empty where there is none.
std::string_view status_field(std::string_view status, std::string_view key);

// The fields of a stat file that tell what a task is: "PID (COMM) STATE PPID
// PGRP SESSION TTY TPGID FLAGS ...". A name may hold blanks and parentheses:
// it ends at the last ") ".
struct task_stat {
    std::string_view comm; // with its parentheses, "(corenest)"
    char state = '\0';     // R, S, Z, ...; '\0' where the text is none
    unsigned long flags = 0;
};
task_stat task_stat_parse(std::string_view stat);

// The kernel's flag of its own threads in a stat file's FLAGS.
inline constexpr unsigned long TASK_KERNEL_THREAD = 0x00200000;

// The mask of a status file's hexadecimal field, such as CapEff; false
// where there is none.
bool status_mask(std::string_view status, std::string_view key, uint64_t &mask);
// The capability that lets a process see and read every task, as the
// kernel numbers it.
inline constexpr int CAP_SYS_PTRACE_BIT = 19;

// A /proc mount's own options, as the mount table lists them (hidepid=2 or
// hidepid=invisible, gid=N, subset=pid): what they hide.
struct proc_options {
    int hidepid = 0; // 0 off, 1 noaccess, 2 invisible, 4 ptraceable
    long gid = 0;    // the group exempt from hidepid 1 and 2 (the kernel's default: 0)
    bool subset_pid = false;
};
proc_options proc_options_parse(std::string_view super);
// Why a process cannot see every task in a /proc of these options, or
// nullptr where it can: it may ptrace every task where it has
// CAP_SYS_PTRACE in the first user namespace; the members of the gid=
// group (as the first user namespace numbers it) see every task, but under
// hidepid=ptraceable.
const char *proc_hides(const proc_options &options, bool may_ptrace_all, bool in_gid);

// The pids of the kernel's list of a task's children ("12 345 ") into
// pids: their count (those past its room dropped).
size_t children_parse(std::string_view list, std::span<long> pids);
