#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smcd::platform {

enum class RequirementTokenKind { word, quotedText, leftBracket, rightBracket, comparison };

struct RequirementToken {
    RequirementTokenKind kind;
    // For a word: the word; for quoted text: the text between the quotes;
    // for a comparison: "=", "<", ">", "<=" or ">="; empty for brackets.
    std::string text;
};

inline constexpr std::size_t kMaxRequirementTextLength = 4096;

// Splits requirement text into tokens. A word is a letter or '_' followed by
// letters, digits, '_' and '.'. Quoted text must satisfy isPlainIdentityText.
// Any other character (parentheses, '!', '/', '\', non-ASCII, control
// characters), an unterminated or empty quote, or text longer than
// kMaxRequirementTextLength gives nothing: what cannot be read cannot be
// enforced, so it must not be half-read.
std::optional<std::vector<RequirementToken>> tokenizeRequirement(std::string_view text);

}  // namespace smcd::platform
