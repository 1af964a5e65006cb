#include "removal/path_text.h"

#include "common/limits.h"
#include "common/unicode.h"

namespace smcd::removal::text {
namespace {

// The name that starts `text`, up to its first "/" or its end.
std::string_view firstName(std::string_view text) { return text.substr(0, text.find('/')); }

// What follows the first name and its "/"; empty when there is no "/".
std::string_view afterFirstName(std::string_view text) {
    const std::size_t slash = text.find('/');
    return slash == std::string_view::npos ? std::string_view{} : text.substr(slash + 1);
}

std::string canonicalName(std::string_view name) {
    if (name.size() > limits::kMaxNameBytes) return std::string(name);
    return unicode::canonicalForm(name);
}

bool sameName(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (a.size() > limits::kMaxNameBytes || b.size() > limits::kMaxNameBytes) return false;
    return unicode::canonicallyEqual(a, b);
}

}  // namespace

bool same(std::string_view a, std::string_view b) {
    if (a == b) return true;
    for (;;) {
        if (!sameName(firstName(a), firstName(b))) return false;
        const bool aEnds = a.find('/') == std::string_view::npos;
        const bool bEnds = b.find('/') == std::string_view::npos;
        if (aEnds || bEnds) return aEnds == bEnds;
        a = afterFirstName(a);
        b = afterFirstName(b);
    }
}

bool isOneOf(std::string_view text, const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates)
        if (same(text, candidate)) return true;
    return false;
}

bool withinLengthLimits(std::string_view path) {
    if (path.size() > limits::kMaxPathBytes) return false;
    std::size_t nameStart = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        if (i - nameStart > limits::kMaxNameBytes) return false;
        nameStart = i + 1;
    }
    return true;
}

std::string requestKey(std::string_view path) {
    if (!withinLengthLimits(path)) return std::string(path);
    std::string key;
    key.reserve(path.size());
    for (;;) {
        key += canonicalName(firstName(path));
        if (path.find('/') == std::string_view::npos) return key;
        key += '/';
        path = afterFirstName(path);
    }
}

bool isStrictlyBelow(std::string_view path, std::string_view root) {
    // Each of the root's names, each followed by a "/" in the path.
    std::string_view rest = path;
    for (std::string_view names = root;; names = afterFirstName(names)) {
        if (rest.find('/') == std::string_view::npos || !sameName(firstName(rest), firstName(names))) return false;
        rest = afterFirstName(rest);
        if (names.find('/') == std::string_view::npos) break;
    }
    if (rest.empty()) return false;
    // The character after the "/" is judged in canonical form, as the whole
    // path would be; a "/" right after it joins nothing.
    const std::string_view next = firstName(rest);
    if (!next.empty() && !unicode::beginsNewCharacter(canonicalName(next))) return false;
    return unicode::characterCount(path) > unicode::characterCount(root) + 1;
}

const std::string* longestRootAbove(std::string_view path, const std::vector<std::string>& roots) {
    const std::string* best = nullptr;
    std::size_t bestLength = 0;
    for (const std::string& root : roots) {
        if (!isStrictlyBelow(path, root)) continue;
        const std::size_t length = unicode::characterCount(root);
        if (best == nullptr || length > bestLength) {
            best = &root;
            bestLength = length;
        }
    }
    return best;
}

}  // namespace smcd::removal::text
