#pragma once

// How the removal rules compare path text: canonical equivalence, lengths and
// prefixes measured in user-perceived characters. These never rewrite a path;
// they only answer questions about it.

#include <string>
#include <string_view>
#include <vector>

namespace smcd::PrivilegedRemoval::text {

bool same(std::string_view a, std::string_view b);
bool isOneOf(std::string_view text, const std::vector<std::string>& candidates);

// `text` begins with `prefix`, and the prefix ends between two characters, so
// a combining mark that follows it belongs to it and spoils the match.
bool hasCharacterPrefix(std::string_view text, std::string_view prefix);

// The path begins with the root and "/", and at least one character follows.
bool isStrictlyBelow(std::string_view path, std::string_view root);

// The entry of `roots` that `path` is strictly below and that has the most
// characters (the earlier one on a tie), or nullptr.
const std::string* longestRootAbove(std::string_view path, const std::vector<std::string>& roots);

}  // namespace smcd::PrivilegedRemoval::text
