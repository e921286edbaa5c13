// SPDX-License-Identifier: MIT
// The text of a task's files in /proc: /proc/PID/status and /proc/PID/stat.
#pragma once

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
