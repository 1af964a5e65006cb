// The shape a launchd toggle request must have before anything reads the
// property list: a plain label, and a plist directly inside a system launchd
// folder reached without any symbolic link.

#include "launchd/launchd_shape.h"

#include "common/unicode.h"
#include "platform/path/path_components.h"
#include "removal/families_and_roots.h"
#include "removal/screening.h"

namespace smcd::launchd {
namespace {

constexpr std::size_t kMaximumLabelCharacters = 255;
constexpr std::string_view kPlistSuffix = ".plist";

bool isLabelCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

}  // namespace

bool isValidLaunchdLabel(std::string_view label) {
    if (label.empty()) return false;
    if (unicode::characterCount(label) > kMaximumLabelCharacters) return false;
    // The alphabet is ASCII, so any byte of a multi-byte scalar fails here.
    for (char c : label)
        if (!isLabelCharacter(c)) return false;
    return true;
}

bool acceptsLaunchdPlist(std::string_view path, std::string_view label) {
    if (!isValidLaunchdLabel(label)) return false;
    if (!removal::isCanonicalAbsolute(path)) return false;
    if (removal::isSymbolicLinkLeaf(path)) return false;
    if (removal::hasLinkedAncestor(path)) return false;
    if (path.size() < kPlistSuffix.size() || path.substr(path.size() - kPlistSuffix.size()) != kPlistSuffix) return false;
    const std::string parent = platform::deletingLastPathComponent(path);
    for (const std::string& root : removal::launchdRoots())
        if (parent == root) return true;
    return false;
}

}  // namespace smcd::launchd
