#pragma once

// Linux has no stringByStandardizingPath, so this supplies its rewrites:
// a leading "~" or "~user" is expanded, repeated slashes collapse, "."
// components go, ".." is resolved lexically in absolute paths (never above
// "/"), a trailing "/" goes, and a leading "/private" is dropped when the
// shortened path names something that exists. Nothing else changes: the
// bytes of every surviving component are the caller's.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace smcd::platform {

// The two questions standardization asks the system, replaceable so that
// the rewrites can be checked without a prepared file system.
struct PathLookups {
    // Home directory of the named user; the empty name is the current user.
    std::function<std::optional<std::string>(std::string_view user)> homeDirectory;
    // Whether something exists at the path, following links.
    std::function<bool(const std::string& path)> exists;
};

const PathLookups& systemPathLookups();

std::string standardizingPath(std::string_view path, const PathLookups& lookups);
std::string standardizingPath(std::string_view path);

}  // namespace smcd::platform
