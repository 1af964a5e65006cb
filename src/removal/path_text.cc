#include "removal/path_text.h"

#include "common/unicode.h"

namespace smcd::PrivilegedRemoval::text {

bool same(std::string_view a, std::string_view b) { return unicode::canonicallyEqual(a, b); }

bool isOneOf(std::string_view text, const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates)
        if (same(text, candidate)) return true;
    return false;
}

bool hasCharacterPrefix(std::string_view text, std::string_view prefix) {
    const std::string whole = unicode::canonicalForm(text);
    const std::string start = unicode::canonicalForm(prefix);
    if (whole.size() < start.size() || whole.compare(0, start.size(), start) != 0) return false;
    const std::string_view rest = std::string_view(whole).substr(start.size());
    if (rest.empty()) return true;
    return unicode::characterCount(whole) == unicode::characterCount(start) + unicode::characterCount(rest);
}

bool isStrictlyBelow(std::string_view path, std::string_view root) {
    std::string withSlash(root);
    withSlash.push_back('/');
    return hasCharacterPrefix(path, withSlash) &&
           unicode::characterCount(path) > unicode::characterCount(root) + 1;
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

}  // namespace smcd::PrivilegedRemoval::text
