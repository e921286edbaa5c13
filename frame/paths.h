// SPDX-License-Identifier: MIT
// Paths as text: joined, cut to their folder, and the folders of a search
// list such as PATH.
#pragma once

#include <span>
#include <string_view>

// Joins a, b and c into out with a terminating NUL; false where it does
// not fit.
bool path_join(std::span<char> out, std::string_view a, std::string_view b,
               std::string_view c = "");
// The folder of a name with a slash ("/" for "/x"); "" for one without.
std::string_view path_folder(std::string_view name);
// Cuts the last part off a path that is longer than floor ("/a/b" to
// "/a"); false where it has none to cut, or would be cut to floor or less.
bool path_up(std::span<char> path, size_t floor);
// Takes the next folder off the front of a search list ("/bin:/usr/bin"):
// "." for an empty one, as the shell reads it. False at its end.
bool path_next(std::string_view &list, std::string_view &folder, bool &more);
