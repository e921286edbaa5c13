// SPDX-License-Identifier: MIT
// Where a process's cpuset lies, from the text of /proc/self/mountinfo and
// /proc/self/cgroup: cgroup v2, and v1 (mounted with or without noprefix),
// in and out of cgroup namespaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The fields of one line of /proc/self/mountinfo that name a mount, as the
// kernel writes them: root and point with their octal escapes.
struct mount_line {
    std::string_view root;  // the mount's folder of its file system
    std::string_view point; // where it is mounted
    std::string_view type;  // cgroup, cgroup2, tmpfs, ...
    std::string_view super; // the file system's own options, "rw,cpuset"
};

// Splits a line of /proc/self/mountinfo ("ID PARENT MAJ:MIN ROOT POINT
// OPTIONS [TAGS...] - TYPE SOURCE SUPER"); false unless it is one.
bool mount_line_parse(std::string_view line, mount_line &mount);

// Decodes a field of the mount table, whose blank, tab, line break and
// backslash the kernel writes as \040, \011, \012 and \134, into out with a
// terminating NUL. Returns its length, or out.size() where it does not fit.
size_t mount_field_decode(std::string_view field, std::span<char> out);

// True where options, a comma-separated list, holds name.
bool has_option(std::string_view options, std::string_view name);

// This process's cgroups, from /proc/self/cgroup: "0::PATH" (v2) and
// "ID:CONTROLLERS:PATH" (v1; the cpuset one when its controllers hold
// cpuset). A path is as the process's cgroup namespace shows it.
struct own_cgroups {
    bool has_v2 = false;
    bool has_v1 = false;
    std::string_view v2;
    std::string_view v1; // the cgroup of the v1 cpuset hierarchy
};
own_cgroups own_cgroups_parse(std::string_view text);

// Where a cgroup of path lies in a mount of its hierarchy whose root is
// root (both as the mount table and /proc/self/cgroup show them: in a cgroup
// namespace, what lies above its root as "/.." steps up from it).
struct cgroup_place {
    enum kind_type : uint8_t {
        none,  // not in this mount, or above its root: unknown
        below, // at the mount's point joined with rest
        search // rest lies below one of the folders depth levels under the
               // point: in a cgroup namespace whose root the mount lies
               // above by more levels than path climbs
    } kind = none;
    std::string_view rest;
    int depth = 0;
};
cgroup_place cgroup_place_of(std::string_view root, std::string_view path);

// Whether a mount at point upper, made after one at lower, hides it from
// its path: the same point, or a folder above it (both as the mount table
// writes them).
bool mount_covers(std::string_view upper, std::string_view lower);
