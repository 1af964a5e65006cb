#pragma once

// What screening learns from a job's property list on disk. Neither
// operation changes or logs anything; every failure is an answer.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace smcd::launchd {

// Larger property lists are not examined (exactly this size is).
inline constexpr std::size_t kMaxPlistBytes = 1024 * 1024;

enum class Ownership {
    unusable,    // missing, not a regular file, or too large
    unsafe,      // not owned by root, or writable by group or others
    acceptable,
};

Ownership plistOwnership(std::string_view path);

// The text under "Label" of the property list (XML or binary) stored at
// `path`, when it is a dictionary holding text there.
std::optional<std::string> plistLabel(std::string_view path);

}  // namespace smcd::launchd
