// SPDX-License-Identifier: MIT
// What the sweep reads of the machine: a task's CPUs and state, lists of
// CPUs of /sys, its own CPUs, the cpuset of its cgroup, and where its tools
// are.
#pragma once

#include "cpu_list.h"
#include "files.h"

#include <span>

// The kernel's list of the CPUs a task may run on, into cpus.
unseen cpus_of(long pid, std::span<char> cpus);
// A task's name, such as "(corenest)", into name, and its state, such as
// 'S' ('\0' where it cannot be read).
unseen state_of(long pid, std::span<char> name, char &state);
// A list of CPUs of /sys into cpus, its text into buf; what it holds where
// it is no list.
unseen read_cpus(const char *path, std::span<char> buf, cpu_list &cpus);
// The CPUs this process may use, by the call that reads them.
unseen own_cpus(cpu_list &own);

// The cpuset of this process: its effective CPUs, as the file says them,
// and the file; found false where no cpuset hierarchy holds this process as
// far as this mount namespace shows it whole (a mount another covers is
// not read through its path). What could not be read, where something
// could not.
unseen find_cpuset(std::span<char> cpus, std::span<char> file, bool &found);

// The program name beside here (a folder, or "" for none), else on PATH:
// a regular file that may be run by someone; false where there is none.
bool find_tool(const char *here, const char *name, std::span<char> path);
// The folder of the program run as argv0: its own folder, else the PATH
// folder that holds it, else "".
void folder_of(const char *argv0, std::span<char> here);
