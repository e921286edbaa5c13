// SPDX-License-Identifier: MIT
// CPU isolation as text says it: the kernel command line's parameters, the
// kernel's hexadecimal CPU masks, and the rule by which a task or an
// interrupt strays onto the CPUs a machine sets apart.
#pragma once

#include "cpu_list.h"

#include <string_view>

// The value of a NAME=VALUE parameter of a kernel command line, as
// /proc/cmdline holds it and the kernel reads it, with the quotes around it
// taken off, into value; false where there is none. The name's '-' and '_'
// read alike; of isolcpus= and nohz_full=, which the kernel sets once, the
// first counts, of any other the last. What follows a lone "--" is init's,
// not the kernel's.
bool kernel_param(std::string_view cmdline, std::string_view name, std::string_view &value);

// isolcpus=[FLAG,...]LIST as the kernel reads it: its flags, each ending in
// a comma (none: domain alone; one it does not know is passed over), then
// the list of CPUs.
struct isolcpus_value {
    bool nohz = false;
    bool domain = false;
    bool managed_irq = false;
    cpu_list cpus{};
};
// False where the kernel ignores the whole parameter: a flag with other than
// letters and underscores, or a list it cannot read.
bool isolcpus_parse(std::string_view value, isolcpus_value &isolcpus);

// A CPU mask as the kernel writes it in hexadecimal: 32-bit words, the most
// significant first, between commas ("ff,ffffffff"), with or without a line
// break at its end. False, with cpus unchanged, unless it is one of CPUs 0
// to 8191.
bool cpu_mask_text_parse(std::string_view text, cpu_list &cpus);

// The isolated CPUs a task strays onto: those it may use, where it may use a
// housekeeping CPU too. None where all the CPUs it may use are isolated: it
// was put there on purpose, as a per-CPU kernel thread is.
cpu_list task_strays(const cpu_list &allowed, const cpu_list &isolated,
                     const cpu_list &housekeeping);
// The isolated CPUs an interrupt strays onto: those its effective affinity
// holds, where its affinity allows a housekeeping CPU. None where it is bound
// to isolated CPUs alone.
cpu_list irq_strays(const cpu_list &affinity, const cpu_list &effective, const cpu_list &isolated,
                    const cpu_list &housekeeping);

// Whether the default affinity of interrupts the kernel shows is what
// irqaffinity= asked: those CPUs, and the boot CPU, which the kernel adds
// where the list lacks it.
bool irqaffinity_holds(const cpu_list &asked, const cpu_list &shown);
