// SPDX-License-Identifier: MIT
// Small files and folders as /proc, /sys and the cgroup file systems hold
// them, read so that nothing that cannot be read passes for an answer: each
// reader returns what it could not see, one value that names the file or
// the call, the errno of what failed and what that means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// A path, as the kernel bounds it.
inline constexpr size_t PATH_TEXT_MAX = 4096;
// What a reason may say, and the file or call it names: a path and the
// words around it, a path longer than paths are cut (what could not be seen
// is a value every reader returns: small, so that a deep walk stays on a few
// pages of stack).
inline constexpr size_t UNSEEN_TEXT_MAX = 1024;
inline constexpr size_t UNSEEN_SUBJECT_MAX = 512;

// What could not be seen: the file or the call, the errno of the call that
// failed (0 where none did, as for a file that holds no list), and what it
// means, as a skip says it. All was seen where text is "".
struct unseen {
    int error = 0;
    char text[UNSEEN_TEXT_MAX]{};
    char subject[UNSEEN_SUBJECT_MAX]{};
};

// Whether something could not be seen.
bool is_unseen(const unseen &u);
// "FILE cannot be read: ERROR".
unseen unseen_read(std::string_view file, int error);
// "CALL: ERROR", of a call that failed.
unseen unseen_call(std::string_view call, int error);
// Another text, formatted as printf does, about subject and error.
[[gnu::format(printf, 3, 4)]] unseen unseen_said(std::string_view subject, int error,
                                                 const char *format, ...);

// Reads a whole small file into buf with a terminating NUL, its length in
// length; EFBIG where it does not fit.
unseen read_file(const char *path, std::span<char> buf, size_t &length);
unseen read_file(const char *path, std::span<char> buf);
// The first line of a file, without its line break, into buf ("" where it
// cannot be read).
unseen read_line(const char *path, std::span<char> buf);

// Calls visit(context, line) for each line of the file, read through
// buffer, without its line break, until visit returns false; a line longer
// than the buffer is passed over.
unseen each_line(const char *path, std::span<char> buffer,
                 bool (*visit)(void *context, std::string_view line), void *context);

// What a walk of folders does after an entry: go into it (a folder), pass
// it over, or stop, all seen.
enum class walk_step : uint8_t { descend, pass, stop };

// The walk of the folder named in path, a buffer of PATH_TEXT_MAX bytes:
// visit(context, path, depth, type, failed) for each entry but . and ..,
// with path then naming the entry, depth 1 for the folder's own entries,
// type as d_type says it (DT_DIR, DT_UNKNOWN...). Where visit says descend,
// the walk goes into the entry, up to depth_max levels: past them the walk
// stops, the path too long (ENAMETOOLONG). A folder gone meanwhile below the
// first is passed over; any other failure, or what visit says in failed,
// stops the walk. Where visit says stop, path names the entry it stopped
// at; else it holds the folder's name again at the end.
unseen walk_folder(std::span<char> path, int depth_max,
                   walk_step (*visit)(void *context, std::span<char> path, int depth,
                                      unsigned char type, unseen &failed),
                   void *context);

// A file of a task, /proc/PID/NAME, or of one of its threads where tid is
// not negative, /proc/PID/task/TID/NAME, into buf.
unseen read_task_file(long pid, long tid, const char *name, std::span<char> buf);
// Whether a read of a task's file failed for the task is gone.
bool task_gone(const unseen &u);
