// SPDX-License-Identifier: MIT
#include "proc_text.h"
#include "text_part.h"

std::string_view status_field(std::string_view status, std::string_view key) {
    while (!status.empty()) {
        std::string_view line = take_until(status, '\n');
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ':') {
            line.remove_prefix(key.size() + 1);
            while (!line.empty() && (line.front() == '\t' || line.front() == ' ')) {
                line.remove_prefix(1);
            }
            return line;
        }
    }
    return {};
}

task_stat task_stat_parse(std::string_view stat) {
    const size_t open = stat.find(" (");
    const size_t close = stat.rfind(") ");
    if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
        close + 2 >= stat.size()) {
        return {};
    }
    task_stat task;
    task.comm = part(stat, open + 1, close - open);
    std::string_view rest = part(stat, close + 2);
    task.state = rest.front();
    // FLAGS, the sixth field after the state
    for (int field = 0; field < 6; ++field) {
        const size_t blank = rest.find(' ');
        if (blank == std::string_view::npos) {
            return task;
        }
        rest.remove_prefix(blank + 1);
    }
    unsigned long flags = 0;
    for (const char c : rest) {
        if (c < '0' || c > '9') {
            break;
        }
        flags = flags * 10 + static_cast<unsigned long>(c - '0');
    }
    task.flags = flags;
    return task;
}

bool status_mask(std::string_view status, std::string_view key, uint64_t &mask) {
    const std::string_view field = status_field(status, key);
    if (field.empty() || field.size() > 16) {
        return false;
    }
    uint64_t value = 0;
    for (const char c : field) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        }
        if (digit < 0) {
            return false;
        }
        value = (value << 4U) | static_cast<uint64_t>(digit);
    }
    mask = value;
    return true;
}

proc_options proc_options_parse(std::string_view super) {
    proc_options options;
    while (!super.empty()) {
        const std::string_view option = take_until(super, ',');
        if (option == "subset=pid") {
            options.subset_pid = true;
        } else if (option.starts_with("gid=")) {
            long gid = 0;
            for (const char c : part(option, 4)) {
                gid = c >= '0' && c <= '9' && gid < 100000000 ? (gid * 10) + (c - '0') : -1;
                if (gid < 0) {
                    break;
                }
            }
            options.gid = option.size() > 4 && gid >= 0 ? gid : -1;
        } else if (option.starts_with("hidepid=")) {
            const std::string_view value = part(option, 8);
            const struct {
                const char *name;
                const char *number;
                int level;
            } levels[] = {{.name = "off", .number = "0", .level = 0},
                          {.name = "noaccess", .number = "1", .level = 1},
                          {.name = "invisible", .number = "2", .level = 2},
                          {.name = "ptraceable", .number = "4", .level = 4}};
            // (a value the kernel would refuse cannot be: taken as the most
            // it hides)
            options.hidepid = 4;
            for (const auto &level : levels) {
                if (value == level.name || value == level.number) {
                    options.hidepid = level.level;
                }
            }
        }
    }
    return options;
}

const char *proc_hides(const proc_options &options, bool may_ptrace_all, bool in_gid) {
    if (options.hidepid == 0 || may_ptrace_all) {
        return nullptr;
    }
    if (options.hidepid == 4) {
        return "/proc is mounted with hidepid=ptraceable: the tasks this process may not ptrace "
               "cannot be seen";
    }
    return in_gid ? nullptr
                  : "/proc is mounted with hidepid: the tasks of other users cannot be seen";
}

size_t children_parse(std::string_view list, std::span<long> pids) {
    size_t count = 0;
    while (count < pids.size()) {
        while (!list.empty() && (list.front() == ' ' || list.front() == '\n')) {
            list.remove_prefix(1);
        }
        long pid = 0;
        size_t digits = 0;
        while (digits < list.size() && list[digits] >= '0' && list[digits] <= '9' &&
               pid < 100000000) {
            pid = (pid * 10) + (list[digits] - '0');
            ++digits;
        }
        if (digits == 0 || pid <= 0) {
            break;
        }
        pids[count++] = pid;
        list.remove_prefix(digits);
    }
    return count;
}
