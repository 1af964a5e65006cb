// Screening reads the file system but changes nothing and keeps no state.
// Every doubt refuses: a home that cannot be identified, a path that does not
// resolve, text that is not valid UTF-8.

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <set>

#include "common/unicode.h"
#include "common/unique_fd.h"
#include "platform/path/path_components.h"
#include "platform/path/standardized_path.h"
#include "removal/family_rules.h"
#include "removal/path_text.h"
#include "removal/screening.h"

namespace smcd::removal {
namespace {

std::optional<std::string> longestRoot(std::string_view path, const std::vector<std::string>& roots) {
    if (const std::string* root = text::longestRootAbove(path, roots)) return *root;
    return std::nullopt;
}


constexpr std::string_view kPrivate = "/private";

enum class NodeKind { missing, symbolicLink, directory, other };

struct Node {
    NodeKind kind = NodeKind::missing;
    uid_t owner = 0;
};

// Follows an alias link, as resolving a longer path through it would.
constexpr int kSearchFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

Node nodeOf(const struct stat& status) {
    switch (status.st_mode & S_IFMT) {
        case S_IFLNK:
            return {NodeKind::symbolicLink, status.st_uid};
        case S_IFDIR:
            return {NodeKind::directory, status.st_uid};
        default:
            return {NodeKind::other, status.st_uid};
    }
}

Node inspect(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return {};
    const std::string name(path);
    struct stat status {};
    if (::lstat(name.c_str(), &status) != 0) return {};
    return nodeOf(status);
}

Node inspectBelow(int directory, const std::string& name) {
    struct stat status {};
    if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return {};
    return nodeOf(status);
}

bool isInHomeTree(const std::vector<std::string>& components) {
    return components.size() >= 2 && components[0] == "/" && text::same(components[1], "Users");
}

bool ownerRuleHolds(std::string_view path, uid_t owner) {
    const std::optional<uid_t> home = homeOwner(path);
    return home && *home == owner;
}

bool isRootOrBelow(std::string_view path, const std::vector<std::string>& roots) {
    for (const std::string& root : roots)
        if (text::same(path, root) || text::isStrictlyBelow(path, root)) return true;
    return false;
}

template <typename Accepts>
Verdict screenEach(const std::vector<std::string>& paths, Accepts&& accepted) {
    Verdict verdict;
    std::set<std::string> seen;
    for (const std::string& path : paths) {
        if (!seen.insert(text::requestKey(path)).second) continue;
        (accepted(path) ? verdict.allowed : verdict.refused).push_back(path);
    }
    return verdict;
}

template <typename Accepts>
bool acceptsAnyResolvedCandidate(std::string_view path, Accepts&& accepted) {
    const std::optional<std::string> real = resolved(path);
    if (!real) return false;
    if (accepted(*real)) return true;
    if (real->compare(0, kPrivate.size(), kPrivate) == 0) return accepted(std::string_view(*real).substr(kPrivate.size()));
    return false;
}

}  // namespace

bool isCanonicalAbsolute(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    // Counted in bytes before anything reads the path as text: no file has a
    // longer path or name, and the Unicode rules below cost more on them.
    if (!text::withinLengthLimits(path)) return false;
    if (path.find('\0') != std::string_view::npos) return false;
    // Every later rule lower-cases and compares by character; bytes that are
    // not text would pass those rules unexamined.
    if (!unicode::isValidUtf8(path)) return false;
    const std::string standard = platform::standardizingPath(path);
    if (text::same(standard, path)) return true;
    return path.substr(0, kPrivate.size()) == kPrivate && text::same(path.substr(kPrivate.size()), standard);
}

bool isSymbolicLinkLeaf(std::string_view path) { return inspect(path).kind == NodeKind::symbolicLink; }

bool hasLinkedAncestor(std::string_view path) {
    const std::vector<std::string> components = platform::pathComponents(path);
    if (components.size() < 3) return false;
    // Each ancestor is looked at from the one above it, by descriptor, so a
    // deep path costs one step per name instead of a walk from "/" for every
    // ancestor. Only where a directory cannot be opened (no descriptor left)
    // do the remaining ancestors go by whole path, as the answer must not
    // change. What cannot be found has nothing below it either.
    UniqueFd above(::open("/", kSearchFlags));
    bool byPath = !above;
    std::string ancestor;
    for (std::size_t i = 1; i + 1 < components.size(); ++i) {
        const std::string& name = components[i];
        if (name.find('\0') != std::string::npos) return false;
        ancestor.push_back('/');
        ancestor.append(name);
        // Only the first ancestor can be an alias, and it is passed through.
        if (!(i == 1 && isSystemAliasRoot(ancestor))) {
            const Node node = byPath ? inspect(ancestor) : inspectBelow(above.get(), name);
            if (node.kind == NodeKind::symbolicLink) return true;
        }
        if (byPath) continue;
        UniqueFd next(::openat(above.get(), name.c_str(), kSearchFlags));
        if (!next && (errno == ENOENT || errno == ENOTDIR)) return false;
        byPath = !next;
        above = std::move(next);
    }
    return false;
}

std::optional<uid_t> homeOwner(std::string_view path) {
    const std::vector<std::string> components = platform::pathComponents(path);
    if (components.size() < 3 || !isInHomeTree(components)) return std::nullopt;
    const Node home = inspect("/Users/" + components[2]);
    if (home.kind != NodeKind::directory) return std::nullopt;
    return home.owner;
}

bool isScopedToPeer(std::string_view path, uid_t owner) {
    if (!isInHomeTree(platform::pathComponents(path))) return true;
    return ownerRuleHolds(path, owner);
}

bool accepts(std::string_view path, Target target) {
    return isCanonicalAbsolute(path) && !isSymbolicLinkLeaf(path) && !hasLinkedAncestor(path) &&
           rules::familyAccepts(path, target);
}

bool accepts(std::string_view path, Target target, uid_t owner) {
    return accepts(path, target) && isScopedToPeer(path, owner);
}

Verdict screen(const std::vector<std::string>& paths, Target target, uid_t owner) {
    return screenEach(paths, [&](std::string_view path) { return accepts(path, target, owner); });
}

std::optional<std::string> resolved(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string name(path);
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(name.c_str(), nullptr), &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

bool acceptsResolved(std::string_view path, Target target, uid_t owner) {
    if (!accepts(path, target, owner)) return false;
    return acceptsAnyResolvedCandidate(path, [&](std::string_view candidate) { return accepts(candidate, target, owner); });
}

bool acceptsResolved(std::string_view path, Target target) {
    if (!accepts(path, target)) return false;
    return acceptsAnyResolvedCandidate(path, [&](std::string_view candidate) { return accepts(candidate, target); });
}

std::optional<std::string> acceptedRoot(std::string_view path, Target target) {
    switch (target) {
        case Target::appBundle: {
            const std::string parent = platform::deletingLastPathComponent(path);
            for (const std::string& root : applicationRoots())
                if (text::same(parent, root)) return root;
            if (rules::isPerUserApplicationsFolder(parent)) return std::string(kUsersRoot);
            return std::nullopt;
        }
        case Target::supportFile:
            if (auto root = longestRoot(path, supportRoots())) return root;
            if (rules::isPerUserLibraryItem(path)) return std::string(kUsersRoot);
            return std::nullopt;
        case Target::systemCache:
            return longestRoot(path, systemCacheRoots());
        case Target::systemLogs:
            return longestRoot(path, systemLogRoots());
        case Target::gpuShaderCaches:
            return longestRoot(path, gpuShaderCacheRoots());
        case Target::rosettaCaches:
            return longestRoot(path, rosettaCacheRoots());
    }
    return std::nullopt;
}

std::optional<std::string> acceptedRoot(std::string_view path, Target target, uid_t owner) {
    if (!accepts(path, target, owner)) return std::nullopt;
    return acceptedRoot(path, target);
}

bool acceptsMeasurement(std::string_view path) {
    return isCanonicalAbsolute(path) && !isSymbolicLinkLeaf(path) && !hasLinkedAncestor(path) &&
           isRootOrBelow(path, measurementRoots());
}

bool acceptsMeasurement(std::string_view path, uid_t owner) {
    if (!acceptsMeasurement(path)) return false;
    const std::vector<std::string> components = platform::pathComponents(path);
    // "/Users" and the homes directly below it may be measured by anyone.
    if (!isInHomeTree(components) || components.size() < 4) return true;
    return ownerRuleHolds(path, owner);
}

}  // namespace smcd::removal
