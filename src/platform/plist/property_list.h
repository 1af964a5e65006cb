#pragma once

// Reading property lists as the platform stores them, XML or binary, through
// libplist. Only what the daemon needs: text values of a top-level dictionary.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace smcd::platform {

// Larger documents are not parsed at all.
inline constexpr std::size_t kMaxPropertyListBytes = std::size_t{64} << 20;

// The text under `key` when `document` parses, in either format, into a
// dictionary holding text there; nothing for any other document or value.
// The text comes back byte for byte, including any NUL it holds.
std::optional<std::string> dictionaryText(std::string_view document, std::string_view key);

}  // namespace smcd::platform
