#pragma once

// The text pieces of a freedesktop.org Trash directory: the `.trashinfo`
// record kept beside every trashed item, and the names items get inside it.

#include <ctime>
#include <cstddef>
#include <string>
#include <string_view>

namespace smcd::platform::trash {

inline constexpr std::string_view kInfoSuffix = ".trashinfo";

// URI escaping as the Trash record wants it: unreserved characters and "/"
// stay, every other byte becomes %XX.
std::string percentEncodedPath(std::string_view path);

// The whole record; `path` is written escaped, the date in local time.
std::string trashInfoRecord(std::string_view path, std::time_t deletedAt);

// Name of a candidate for `leaf` inside files/: the leaf itself when `tag`
// is empty, else the stem marked with the tag ("Some.2.app"), shortened at a
// character boundary so that the record's name still fits a directory entry.
std::string trashEntryName(std::string_view leaf, std::string_view tag);

}  // namespace smcd::platform::trash
