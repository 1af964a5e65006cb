#pragma once

// How the removal rules compare path text: canonical equivalence, lengths and
// prefixes measured in user-perceived characters. These never rewrite a path;
// they only answer questions about it.
//
// Canonical forms never carry anything across a "/" (it neither combines nor
// reorders), so every comparison works name by name: no text is put in
// canonical form in pieces longer than one name. Names longer than
// limits::kMaxNameBytes, which no file system keeps and screening refuses,
// are compared as bytes, so that no text costs more than linear time.

#include <string>
#include <string_view>
#include <vector>

namespace smcd::removal::text {

bool same(std::string_view a, std::string_view b);
bool isOneOf(std::string_view text, const std::vector<std::string>& candidates);

// Within limits::kMaxPathBytes, with no name longer than limits::kMaxNameBytes;
// counted in bytes, without looking at the text as Unicode.
bool withinLengthLimits(std::string_view path);

// The key under which two spellings of one request path count as one: the
// canonical form of a path within the length limits, the bytes of any other
// (such a path is refused, and not worth the normalizer's time).
std::string requestKey(std::string_view path);

// The path begins with the root and "/", and at least one character follows
// (a combining mark right after the "/" would belong to it and spoil this).
bool isStrictlyBelow(std::string_view path, std::string_view root);

// The entry of `roots` that `path` is strictly below and that has the most
// characters (the earlier one on a tie), or nullptr.
const std::string* longestRootAbove(std::string_view path, const std::vector<std::string>& roots);

}  // namespace smcd::removal::text
