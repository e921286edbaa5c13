// SPDX-License-Identifier: MIT
#include "paths.h"
#include "text_part.h"

#include <cstdio>
#include <cstring>

bool path_join(std::span<char> out, std::string_view a, std::string_view b, std::string_view c) {
    const int n =
        snprintf(out.data(), out.size(), "%.*s%.*s%.*s", static_cast<int>(a.size()), a.data(),
                 static_cast<int>(b.size()), b.data(), static_cast<int>(c.size()), c.data());
    return n >= 0 && static_cast<size_t>(n) < out.size();
}

std::string_view path_folder(std::string_view name) {
    const size_t slash = name.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    return part(name, 0, slash == 0 ? 1 : slash);
}

bool path_up(std::span<char> path, size_t floor) {
    const std::string_view text(path.data());
    const size_t slash = text.rfind('/');
    if (text.size() <= floor || slash == std::string_view::npos || slash < floor) {
        return false;
    }
    path[slash] = '\0';
    return true;
}

bool path_next(std::string_view &list, std::string_view &folder, bool &more) {
    if (!more) {
        return false;
    }
    const size_t colon = list.find(':');
    folder = part(list, 0, colon);
    if (folder.empty()) {
        folder = ".";
    }
    more = colon != std::string_view::npos;
    list.remove_prefix(more ? colon + 1 : list.size());
    return true;
}
