// Removal below an accepted root, by descriptors only. The root's own path is
// the one place a symbolic link is followed; below it every component is
// opened relative to its parent with O_NOFOLLOW | O_DIRECTORY, so a swap
// anywhere in the tree either is refused or acts on the object already open.

#include "removal/safe_removal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/unicode.h"
#include "common/unique_dir.h"
#include "removal/test_hooks.h"

namespace smcd::SafeRemoval {
namespace {

constexpr int kRootFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr int kBelowRootFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

using Outcome = std::optional<Failure>;

std::vector<std::string_view> splitComponents(std::string_view path) {
    std::vector<std::string_view> components;
    std::size_t position = 0;
    while (position <= path.size()) {
        const std::size_t slash = path.find('/', position);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > position) components.push_back(path.substr(position, end - position));
        if (slash == std::string_view::npos) break;
        position = slash + 1;
    }
    return components;
}

// The errno values by which a failed plain unlink says "this is a directory".
bool meansDirectory(int error) { return error == EPERM || error == EISDIR || error == ENOTEMPTY; }

Failure failedOpen(int error, std::string_view name) {
    if (error == ELOOP || error == ENOTDIR) return Failure::escapedRoot(std::string(name));
    return Failure::denied(error);
}

// The root and every intermediate component, open in walking order.
struct Walk {
    UniqueFd root;
    std::vector<UniqueFd> intermediates;
    std::string leaf;

    int parent() const { return intermediates.empty() ? root.get() : intermediates.back().get(); }

    // Nearest the root first, then the root itself.
    void close() {
        for (UniqueFd& descriptor : intermediates) descriptor.reset();
        intermediates.clear();
        root.reset();
    }
};

std::variant<Walk, Failure> walkToParent(std::string_view path, std::string_view below) {
    const std::optional<std::vector<std::string>> components = relativeComponents(path, below);
    if (!components) return Failure::outsideRoot();

    Walk walk;
    const std::string root(below);
    walk.root.reset(::open(root.c_str(), kRootFlags));
    if (!walk.root) return Failure::denied(errno);

    walk.intermediates.reserve(components->size());
    for (std::size_t i = 0; i + 1 < components->size(); ++i) {
        const std::string& name = (*components)[i];
        SMCD_REMOVAL_HOOK(removal_hooks::Point::betweenComponents, name, i, walk.parent());
        UniqueFd next(::openat(walk.parent(), name.c_str(), kBelowRootFlags));
        if (!next) {
            const int error = errno;
            walk.close();
            if (error == ENOENT) return Failure::notFound();
            return failedOpen(error, name);
        }
        walk.intermediates.push_back(std::move(next));
    }
    if (components->empty()) {
        walk.close();
        return Failure::outsideRoot();
    }
    walk.leaf = components->back();
    SMCD_REMOVAL_HOOK(removal_hooks::Point::betweenComponents, walk.leaf, components->size() - 1, walk.parent());
    return walk;
}

// One directory being emptied: its stream, its name in the parent, and the
// first failure met among its entries.
struct Level {
    UniqueDir stream;
    std::string name;
    Outcome firstFailure;
};

std::variant<UniqueDir, Failure> openLevel(int parent, const std::string& name) {
    UniqueFd descriptor(::openat(parent, name.c_str(), kBelowRootFlags));
    if (!descriptor) return failedOpen(errno, name);
    DIR* stream = ::fdopendir(descriptor.get());
    if (stream == nullptr) return Failure::denied(errno);
    descriptor.release();  // the stream owns it now
    return UniqueDir(stream);
}

void remember(Level& level, Outcome outcome) {
    if (outcome && !level.firstFailure) level.firstFailure = std::move(outcome);
}

// Closes the emptied level and removes it from its parent.
Outcome finish(Level& level, int parent) {
    level.stream.reset();
    if (level.firstFailure && level.firstFailure->kind == Failure::Kind::escapedRoot) return level.firstFailure;
    if (::unlinkat(parent, level.name.c_str(), AT_REMOVEDIR) == 0) return std::nullopt;
    const int error = errno;
    if (level.firstFailure) return level.firstFailure;
    if (error == ENOENT) return Failure::notFound();
    return Failure::denied(error);
}

// Empties and removes one directory. Depth-first like a recursion between
// entry and tree, but with the levels on the heap: a tree is as deep as the
// descriptor limit allows, far deeper than any thread's stack.
Outcome removeTree(const std::string& name, int parent) {
    SMCD_REMOVAL_HOOK(removal_hooks::Point::betweenUnlinkAndOpen, name, 0, parent);
    std::vector<Level> levels;
    {
        auto opened = openLevel(parent, name);
        if (auto* failure = std::get_if<Failure>(&opened)) return std::move(*failure);
        levels.push_back(Level{std::move(std::get<UniqueDir>(opened)), name, std::nullopt});
    }
    while (true) {
        const std::size_t top = levels.size() - 1;
        const int here = levels[top].stream.fd();
        if (const dirent* entry = ::readdir(levels[top].stream.get())) {
            const std::string_view entryName = entry->d_name;
            if (entryName == "." || entryName == "..") continue;
            std::string child(entryName);
            SMCD_REMOVAL_HOOK(removal_hooks::Point::betweenListingAndUnlink, child, 0, here);
            if (::unlinkat(here, child.c_str(), 0) == 0) continue;
            const int error = errno;
            if (!meansDirectory(error)) {
                remember(levels[top], error == ENOENT ? Failure::notFound() : Failure::denied(error));
                continue;
            }
            SMCD_REMOVAL_HOOK(removal_hooks::Point::betweenUnlinkAndOpen, child, 0, here);
            auto opened = openLevel(here, child);
            if (auto* failure = std::get_if<Failure>(&opened)) {
                remember(levels[top], std::move(*failure));
                continue;
            }
            levels.push_back(Level{std::move(std::get<UniqueDir>(opened)), std::move(child), std::nullopt});
            continue;
        }
        // End of this level's stream (a read error ends it just the same).
        const int levelParent = top == 0 ? parent : levels[top - 1].stream.fd();
        Outcome outcome = finish(levels[top], levelParent);
        levels.pop_back();
        if (levels.empty()) return outcome;
        remember(levels.back(), std::move(outcome));
    }
}

Outcome removeEntry(const std::string& name, int parent) {
    if (::unlinkat(parent, name.c_str(), 0) == 0) return std::nullopt;
    const int error = errno;
    if (meansDirectory(error)) return removeTree(name, parent);
    if (error == ENOENT) return Failure::notFound();
    return Failure::denied(error);
}

// Swift's debugDescription of a String: quotes, backslashes and control
// characters escaped, so a name cannot break the log line it lands in.
std::string quoted(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char buffer[12];
                    std::snprintf(buffer, sizeof buffer, "\\u{%X}", static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += buffer;
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace

std::string describe(const Failure& failure) {
    switch (failure.kind) {
        case Failure::Kind::escapedRoot:
            return "escapedRoot(" + quoted(failure.name) + ")";
        case Failure::Kind::denied:
            return "denied(" + std::to_string(failure.errnoValue) + ")";
        case Failure::Kind::outsideRoot:
            return "outsideRoot";
        case Failure::Kind::notFound:
            return "notFound";
    }
    return "outsideRoot";
}

std::optional<std::vector<std::string>> relativeComponents(std::string_view path, std::string_view root) {
    // A NUL would cut the name short at the system call and name another file.
    if (path.find('\0') != std::string_view::npos || root.find('\0') != std::string_view::npos) return std::nullopt;
    const std::vector<std::string_view> rootComponents = splitComponents(root);
    const std::vector<std::string_view> pathComponents = splitComponents(path);
    if (rootComponents.size() >= pathComponents.size()) return std::nullopt;
    for (std::size_t i = 0; i < rootComponents.size(); ++i)
        if (!unicode::canonicallyEqual(pathComponents[i], rootComponents[i])) return std::nullopt;
    for (std::string_view component : pathComponents)
        if (component == "..") return std::nullopt;
    for (std::string_view component : pathComponents)
        if (component == ".") return std::nullopt;
    return std::vector<std::string>(pathComponents.begin() + static_cast<std::ptrdiff_t>(rootComponents.size()),
                                    pathComponents.end());
}

std::optional<Failure> remove(std::string_view path, std::string_view below) {
    auto walked = walkToParent(path, below);
    if (auto* failure = std::get_if<Failure>(&walked)) return std::move(*failure);
    Walk& walk = std::get<Walk>(walked);
    Outcome outcome = removeEntry(walk.leaf, walk.parent());
    walk.close();
    return outcome;
}

std::variant<OpenParent, Failure> openParent(std::string_view path, std::string_view below) {
    auto walked = walkToParent(path, below);
    if (auto* failure = std::get_if<Failure>(&walked)) return std::move(*failure);
    Walk& walk = std::get<Walk>(walked);
    OpenParent result;
    if (walk.intermediates.empty()) {
        result.parent = std::move(walk.root);
    } else {
        result.parent = std::move(walk.intermediates.back());
        walk.intermediates.pop_back();
    }
    walk.close();
    result.leaf = std::move(walk.leaf);
    return result;
}

}  // namespace smcd::SafeRemoval
