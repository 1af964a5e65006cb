#pragma once

// Descriptor-relative removal of one path strictly below an accepted root:
// never follows a symbolic link below the root and refuses a component that
// is swapped while it works.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.h"
#include "common/unique_fd.h"

namespace smcd::removal {

// The engine's failures and its error policy, one line per kind: what it
// means | whether the walk goes on | what the removal flow makes of it.
// Within a directory the failure reported is the first among its entries
// in the order its listing yields them.
//   escapedRoot  a component or entry is not the directory it was (a link, a file, a level moved away)
//                | goes on with the other entries, but no directory holding it is removed
//                | the name in the "changed while the helper was working" problem, refusal logged
//   denied       the system refused, errno kept | goes on; the directory holding it stays
//                | the could-not-remove problem, errno logged
//                Two refusals are the walk's own: the root of a mount below the
//                item (another file system or a bind mount of this one), or the
//                item itself one, is never entered nor removed, denied(EXDEV),
//                its contents left alone, as systemd's rm_rf stops at mount
//                points; and a level that cannot be opened, found again or held
//                for want of a descriptor or of memory is denied(EMFILE) (or
//                ENFILE, or ENOMEM), never a change.
//   outsideRoot  the path is not strictly below the root | nothing is touched
//                | the could-not-remove problem, logged
//   notFound     nothing at the path, or an entry vanished | goes on | counted as removed
//                An entry that vanished is no failure of its directory: it never
//                hides a later entry's failure.
struct Failure {
    enum class Kind { escapedRoot, denied, outsideRoot, notFound };
    Kind kind;
    std::string name;      // escapedRoot: one component or entry name, never a path
    std::int32_t errnoValue = 0;  // denied

    static Failure escapedRoot(std::string name) { return {Kind::escapedRoot, std::move(name), 0}; }
    static Failure denied(std::int32_t error) { return {Kind::denied, {}, error}; }
    static Failure outsideRoot() { return {Kind::outsideRoot, {}, 0}; }
    static Failure notFound() { return {Kind::notFound, {}, 0}; }
    bool operator==(const Failure&) const = default;
};

// denied(13), escapedRoot("name"), outsideRoot, notFound
std::string describe(const Failure& failure);

// Completes or fails with exactly one Failure. However deep the tree, its
// walk holds at most limits::kWalkOpenLevels + 1 descriptors for each of its
// workers (limits::kWalkWorkers) and 3 more, all drawn from `owner`'s shares
// of the walk pools but the path's own. The failure reported is the first
// the item's listing yields, whichever worker met it.
Expected<void, Failure> remove(std::string_view path, std::string_view below, uid_t owner);

// The leaf's parent, reached from the root the way remove() reaches it (every
// intermediate component opened relative to the previous one, no link
// followed), for callers that must act on the leaf by descriptor themselves.
struct OpenParent {
    UniqueFd parent;
    std::string leaf;
};
Expected<OpenParent, Failure> openParent(std::string_view path, std::string_view below);

// The containment check: the names below the root, or nothing.
std::optional<std::vector<std::string>> relativeComponents(std::string_view path, std::string_view root);

}  // namespace smcd::removal
