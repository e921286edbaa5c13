// SPDX-License-Identifier: MIT
#include "cgroup.h"
#include "text_part.h"

namespace {

// Takes the next field, up to a blank or the end, off the front of text.
std::string_view take_field(std::string_view &text) {
    return take_until(text, ' ');
}

bool starts_with_dir(std::string_view path, std::string_view dir) {
    return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

// The value of an escape such as "040" at the front of text, or -1.
int octal_escape(std::string_view text) {
    if (text.size() < 3) {
        return -1;
    }
    int value = 0;
    for (const char c : part(text, 0, 3)) {
        if (c < '0' || c > '7') {
            return -1;
        }
        value = value * 8 + (c - '0');
    }
    return value;
}

} // namespace

bool mount_line_parse(std::string_view line, mount_line &mount) {
    for (int i = 0; i < 3; ++i) {
        if (take_field(line).empty()) {
            return false;
        }
    }
    const std::string_view root = take_field(line);
    const std::string_view point = take_field(line);
    // (the optional tags end at a lone "-")
    const size_t dash = line.find(" - ");
    if (root.empty() || point.empty() || dash == std::string_view::npos) {
        return false;
    }
    line.remove_prefix(dash + 3);
    const std::string_view type = take_field(line);
    take_field(line);
    const std::string_view super = take_field(line);
    if (type.empty()) {
        return false;
    }
    mount = {.root = root, .point = point, .type = type, .super = super};
    return true;
}

size_t mount_field_decode(std::string_view field, std::span<char> out) {
    size_t length = 0;
    while (!field.empty()) {
        char c = field.front();
        const int escaped = c == '\\' ? octal_escape(part(field, 1)) : -1;
        if (escaped == ' ' || escaped == '\t' || escaped == '\n' || escaped == '\\') {
            c = static_cast<char>(escaped);
            field.remove_prefix(4);
        } else {
            field.remove_prefix(1);
        }
        if (length + 1 >= out.size()) {
            return out.size();
        }
        out[length++] = c;
    }
    if (out.empty()) {
        return 0;
    }
    out[length] = '\0';
    return length;
}

bool has_option(std::string_view options, std::string_view name) {
    while (!options.empty()) {
        if (take_until(options, ',') == name) {
            return true;
        }
    }
    return false;
}

own_cgroups own_cgroups_parse(std::string_view text) {
    own_cgroups own;
    while (!text.empty()) {
        const std::string_view line = take_until(text, '\n');
        const size_t first = line.find(':');
        const size_t second = line.find(':', first == std::string_view::npos ? 0 : first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) {
            continue;
        }
        const std::string_view id = part(line, 0, first);
        const std::string_view controllers = part(line, first + 1, second - first - 1);
        const std::string_view path = part(line, second + 1);
        if (id == "0" && controllers.empty()) {
            own.has_v2 = true;
            own.v2 = path;
        } else if (has_option(controllers, "cpuset")) {
            own.has_v1 = true;
            own.v1 = path;
        }
    }
    return own;
}

namespace {

// Takes the leading "/.." steps off path, which a cgroup namespace shows for
// what lies above its root: their count.
int take_ups(std::string_view &path) {
    int ups = 0;
    while (path.starts_with("/..") && (path.size() == 3 || path[3] == '/')) {
        path.remove_prefix(3);
        ++ups;
    }
    return ups;
}

} // namespace

cgroup_place cgroup_place_of(std::string_view root, std::string_view path) {
    if (path.empty() || path.front() != '/') {
        return {};
    }
    std::string_view rest = path;
    const int path_ups = take_ups(rest);
    if (path_ups == 0 && root == "/") {
        return {.kind = cgroup_place::below,
                .rest = path == "/" ? std::string_view{} : path,
                .depth = 0};
    }
    if (path_ups == 0 && starts_with_dir(path, root)) {
        return {.kind = cgroup_place::below, .rest = part(path, root.size()), .depth = 0};
    }
    // A mount made outside the namespace, whose root lies that many levels
    // above the namespace's own; the cgroup lies below it, up as many levels
    // from the namespace's root as its path says, then down the rest. A
    // cgroup above the mount's root, or beside a mount made inside the
    // namespace (as nsenter -C into a container leaves it), cannot be told.
    std::string_view up = root;
    const int root_ups = take_ups(up);
    if (root_ups == 0 || !up.empty() || path_ups > root_ups) {
        return {};
    }
    const int depth = root_ups - path_ups;
    return {.kind = depth == 0 ? cgroup_place::below : cgroup_place::search,
            .rest = rest == "/" ? std::string_view{} : rest,
            .depth = depth};
}

bool mount_covers(std::string_view upper, std::string_view lower) {
    return upper == "/" || starts_with_dir(lower, upper);
}
