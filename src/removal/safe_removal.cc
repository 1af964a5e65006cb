// Removal below an accepted root, by descriptors only. The root's own path is
// the one place a symbolic link is followed; below it every component is
// opened relative to its parent without following links, so a swap anywhere
// in the tree either is refused or acts on the object already open.

#include "removal/safe_removal.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "walk/directory_walk.h"
#include "walk/walk_workers.h"
#include "common/unicode.h"
#include "removal/test_hooks.h"

namespace smcd::removal {
namespace {

constexpr int kRootFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

using Outcome = Expected<void, Failure>;

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

// A component that cannot be opened as a directory without following a link
// was swapped; any other failure is the system's refusal. Below the leaf a
// directory that vanished between the unlink and the open is a refusal too:
// its parent cannot be emptied as listed.
Failure failedOpen(int error, std::string_view name) {
    if (classifyOpenError(error) == OpenProblem::swapped) return Failure::escapedRoot(std::string(name));
    return Failure::denied(error);
}

// The leaf's parent, reached from the root one component at a time. Only the
// directory reached so far is held: each open is relative to it, so an
// ancestor moved away afterwards does not redirect the walk.
Expected<OpenParent, Failure> walkToParent(std::string_view path, std::string_view below) {
    const std::optional<std::vector<std::string>> components = relativeComponents(path, below);
    if (!components) return unexpected(Failure::outsideRoot());

    const std::string root(below);
    UniqueFd current(::open(root.c_str(), kRootFlags));
    if (!current) return unexpected(Failure::denied(errno));

    for (std::size_t i = 0; i + 1 < components->size(); ++i) {
        const std::string& name = (*components)[i];
        SMCD_REMOVAL_HOOK(removal::hooks::Point::betweenComponents, name, i, current.get());
        UniqueFd next = openDirectoryBelow(current.get(), name.c_str());
        if (!next) {
            const int error = errno;
            if (classifyOpenError(error) == OpenProblem::missing) return unexpected(Failure::notFound());
            return unexpected(failedOpen(error, name));
        }
        current = std::move(next);
    }
    if (components->empty()) return unexpected(Failure::outsideRoot());
    SMCD_REMOVAL_HOOK(removal::hooks::Point::betweenComponents, components->back(), components->size() - 1,
                      current.get());
    return OpenParent{std::move(current), components->back()};
}

// Keeps the first failure met among a directory's entries. An entry that
// vanished is not a failure: it must never take the place of a later one
// that keeps the directory.
void remember(Outcome& first, const Outcome& outcome) {
    if (!outcome && first && outcome.error().kind != Failure::Kind::notFound) first = outcome;
}

// A level the walk could not enter or find again: moved or swapped is a
// change, anything else (no descriptor left, another mount) the system's
// refusal with its errno.
Failure unreachable(OpenProblem problem, int error, const std::string& name) {
    if (problem == OpenProblem::swapped || problem == OpenProblem::missing) return Failure::escapedRoot(name);
    return Failure::denied(error);
}

// Removes an emptied directory from its parent, unless something inside it
// was swapped or it was lost (then the parent is not the directory that
// held it, or `parent` is -1).
Outcome finish(const Outcome& firstFailure, bool lost, int parent, const std::string& name) {
    if (!firstFailure && firstFailure.error().kind == Failure::Kind::escapedRoot) return firstFailure;
    if (lost || parent < 0) return firstFailure;
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0) return {};
    const int error = errno;
    if (!firstFailure) return firstFailure;
    if (error == ENOENT) return unexpected(Failure::notFound());
    return unexpected(Failure::denied(error));
}

// One entry of the walk's top level: unlinked, or, a directory, entered
// (nothing then: the caller empties it). Its errno alone says it is a
// directory; nothing examines it first.
std::optional<Outcome> unlinkOrEnter(DirectoryWalk<Outcome>& walk, const DirectoryEntry& entry) {
    const int here = walk.topFd();
    SMCD_REMOVAL_HOOK(removal::hooks::Point::betweenListingAndUnlink, entry.name, 0, here);
    if (::unlinkat(here, entry.name.c_str(), 0) == 0) return Outcome{};
    const int error = errno;
    if (!meansDirectory(error)) return unexpected(error == ENOENT ? Failure::notFound() : Failure::denied(error));
    SMCD_REMOVAL_HOOK(removal::hooks::Point::betweenUnlinkAndOpen, entry.name, 0, here);
    if (auto entered = walk.enter(entry.name); !entered) {
        // Gone between the unlink and the open: its parent cannot be emptied as listed.
        const OpenProblem problem =
            entered.error().problem == OpenProblem::missing ? OpenProblem::denied : entered.error().problem;
        return unexpected(unreachable(problem, entered.error().error, entry.name));
    }
    return std::nullopt;
}

// Empties and removes the level just entered from the walk's start, depth
// first, and answers for it once the walk is back at the start. Each level
// keeps the first failure among its entries; the walk holds a fixed number
// of descriptors however deep the tree goes.
Outcome emptyEntered(DirectoryWalk<Outcome>& walk) {
    while (true) {
        if (std::optional<DirectoryEntry> entry = walk.nextEntry()) {
            if (std::optional<Outcome> done = unlinkOrEnter(walk, *entry)) remember(walk.topState(), *done);
            continue;
        }
        // The top level is empty (as far as it could be emptied).
        const std::string levelName = walk.topName();
        const bool lost = walk.topLost();
        if (walk.topListingError() != 0) remember(walk.topState(), unexpected(Failure::denied(walk.topListingError())));
        const auto left = walk.leave();
        Outcome done = finish(left.state, lost, walk.topFd(), levelName);
        // The start is never given up: it needs no finding again.
        if (walk.depth() == 1) return done;
        remember(walk.topState(), done);
        if (!left.reached) {
            // Every level from the first one lost up to the new top keeps the change.
            const LostLevel& lostLevel = left.reached.error();
            const Failure failure = unreachable(lostLevel.problem, lostLevel.error, lostLevel.name);
            for (std::size_t level = lostLevel.depth; level < walk.depth(); ++level) {
                remember(walk.stateAt(level), unexpected(failure));
            }
        }
    }
}

// What one worker met among the entries of the item it took: the first
// failure, and where its entry stands in the item's listing.
struct FirstFailure {
    std::size_t position = 0;
    Outcome outcome;

    bool operator()(DirectoryWalk<Outcome>& walk, std::size_t at, const DirectoryEntry& entry) {
        std::optional<Outcome> done = unlinkOrEnter(walk, entry);
        if (!done) done = emptyEntered(walk);
        if (outcome) {
            remember(outcome, *done);
            if (!outcome) position = at;
        }
        return true;  // every entry is attempted
    }
};

// Empties and removes one directory, out of `owner`'s walk shares, its
// entries shared out between the walk's workers. The failure reported is
// the first in the order the directory lists its entries, whichever worker
// met it and whenever.
Outcome removeTree(const std::string& name, int parent, uid_t owner) {
    SMCD_REMOVAL_HOOK(removal::hooks::Point::betweenUnlinkAndOpen, name, 0, parent);
    // The item itself a mount point (another file system, or a bind mount
    // of this one) is not opened: denied(EXDEV), left alone.
    UniqueFd start = countedOpenBelow(parent, name);
    if (!start) return unexpected(failedOpen(errno, name));
    auto begun = DirectoryWalk<Outcome>::begin(std::move(start), owner);
    if (!begun) return unexpected(Failure::denied(begun.error().error));
    DirectoryWalk<Outcome>& walk = *begun;
    std::array<FirstFailure, limits::kWalkWorkers> workers{};
    forEachTopEntry(walk, workers);
    Outcome first;
    std::size_t firstPosition = 0;
    for (const FirstFailure& worker : workers) {
        if (!worker.outcome && (first || worker.position < firstPosition)) {
            first = worker.outcome;
            firstPosition = worker.position;
        }
    }
    if (walk.topListingError() != 0) remember(first, unexpected(Failure::denied(walk.topListingError())));
    walk.leave();
    return finish(first, false, parent, name);
}

Outcome removeEntry(const std::string& name, int parent, uid_t owner) {
    if (::unlinkat(parent, name.c_str(), 0) == 0) return {};
    const int error = errno;
    if (meansDirectory(error)) return removeTree(name, parent, owner);
    if (error == ENOENT) return unexpected(Failure::notFound());
    return unexpected(Failure::denied(error));
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

Expected<void, Failure> remove(std::string_view path, std::string_view below, uid_t owner) {
    auto walked = walkToParent(path, below);
    if (!walked) return unexpected(std::move(walked).error());
    return removeEntry(walked->leaf, walked->parent.get(), owner);
}

Expected<OpenParent, Failure> openParent(std::string_view path, std::string_view below) {
    return walkToParent(path, below);
}

}  // namespace smcd::removal
