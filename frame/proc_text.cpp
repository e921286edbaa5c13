// SPDX-License-Identifier: MIT
#include "proc_text.h"
#include "text_part.h"

std::string_view status_field(std::string_view status, std::string_view key) {
    while (!status.empty()) {
        const size_t end = status.find('\n');
        std::string_view line = part(status, 0, end);
        status.remove_prefix(end == std::string_view::npos ? status.size() : end + 1);
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
