#include "removal/removal_flow.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>

#include <nlohmann/json.hpp>

#include "common/unicode.h"
#include "platform/log/daemon_log.h"
#include "removal/safe_removal.h"
#include "removal/screening.h"
#include "removal/test_hooks.h"
#include "removal/whose_trash.h"

namespace smcd {

void to_json(nlohmann::ordered_json& json, const PrivilegedRemovalResult& result) {
    json = nlohmann::ordered_json::object();
    json["path"] = result.path;
    json["removed"] = result.removed;
    if (result.problem) json["problem"] = *result.problem;
}

namespace removal {
namespace {

using platform::LogLevel;

constexpr std::string_view kRefusedByScreening = "Outside the directories Vornik's helper is allowed to touch.";
constexpr std::string_view kResolvesOutside = "That location resolves outside the directories the helper may touch.";
constexpr std::string_view kNoAcceptedRoot =
    "The helper could not establish which allowed directory that path belongs to.";
constexpr std::string_view kChangedWhileWorking = " changed while the helper was working, so nothing was removed.";
constexpr std::string_view kCouldNotRemove = "That item could not be removed.";

PrivilegedRemovalResult removed(std::string_view path) { return {std::string(path), true, std::nullopt}; }

PrivilegedRemovalResult notRemoved(std::string_view path, std::string problem) {
    return {std::string(path), false, std::move(problem)};
}

// The file manager's existence question: follows links, and only a missing
// entry counts as nothing there; any other failure is left to the removal,
// which reports it, rather than being taken for success.
bool nothingExistsAt(const std::string& path) {
    struct stat info{};
    return ::stat(path.c_str(), &info) != 0 && errno == ENOENT;
}

// What the engine's verdict (or the failure to reach the item's parent)
// means for the client and the log.
PrivilegedRemovalResult engineOutcome(std::string_view path, std::string_view family,
                                      const removal::Failure& failure) {
    using Kind = removal::Failure::Kind;
    switch (failure.kind) {
        case Kind::notFound:
            return removed(path);
        case Kind::escapedRoot:
            SMCD_LOG(daemonLog(), LogLevel::error, "refused a component that changed under us [%{public}s]", family);
            // The name comes from the file system, not from the client: made
            // valid text so that the reply can always be encoded.
            return notRemoved(path, "\"" + unicode::validUtf8Lossy(failure.name) + "\"" + std::string(kChangedWhileWorking));
        case Kind::denied:
        case Kind::outsideRoot:
            break;
    }
    SMCD_LOG(daemonLog(), LogLevel::error, "removal failed [%{public}s]: %{public}s", family,
             removal::describe(failure));
    return notRemoved(path, std::string(kCouldNotRemove));
}

// The Trash branch reaches the item's parent from the accepted root by
// descriptors, never following a link, and renames the entry from there: a
// directory of the peer's swapped for a link after the checks leads nowhere.
PrivilegedRemovalResult moveToTrash(const std::string& path, const std::string& root, std::string_view family,
                                    platform::TrashCan& trash) {
    const auto parent = removal::openParent(path, root);
    if (!parent) return engineOutcome(path, family, parent.error());
    const auto moved = trash.moveToTrash(parent->parent.get(), parent->leaf, path);
    if (moved) {
        SMCD_LOG(daemonLog(), LogLevel::notice, "removed %{public}s (trashed)", family);
        return removed(path);
    }
    SMCD_LOG(daemonLog(), LogLevel::error, "removal failed [%{public}s]: %{public}ld", family,
             static_cast<long>(moved.error().code));
    return notRemoved(path, moved.error().description);
}

PrivilegedRemovalResult removeAllowed(const std::string& path, Target target, bool permanent, uid_t owner,
                                      platform::TrashCan& trash) {
    const std::string_view family = rawValue(target);
    SMCD_REMOVAL_HOOK(removal::hooks::Point::afterScreening, path);
    if (!acceptsResolved(path, target, owner)) {
        SMCD_LOG(daemonLog(), LogLevel::error, "refused after resolution [%{public}s]", family);
        return notRemoved(path, std::string(kResolvesOutside));
    }
    SMCD_REMOVAL_HOOK(removal::hooks::Point::afterResolvedCheck, path);
    if (nothingExistsAt(path)) return removed(path);

    // Both branches need the root now: deletion walks from it, and so does
    // the Trash move, which must not trust the path string either.
    std::optional<std::string> root;
    if (accepts(path, target) && isScopedToPeer(path, owner)) root = acceptedRoot(path, target);
    if (!root) {
        SMCD_LOG(daemonLog(), LogLevel::error, "no accepted root [%{public}s]", family);
        return notRemoved(path, std::string(kNoAcceptedRoot));
    }
    if (!permanent) return moveToTrash(path, *root, family, trash);
    const auto deleted = removal::remove(path, *root, owner);
    if (!deleted) return engineOutcome(path, family, deleted.error());
    SMCD_LOG(daemonLog(), LogLevel::notice, "removed %{public}s (deleted)", family);
    return removed(path);
}

}  // namespace

std::vector<PrivilegedRemovalResult> removePaths(const std::vector<std::string>& paths, Target family,
                                                 bool permanent, uid_t owner, platform::TrashCan& trash,
                                                 std::stop_token stop) {
    const Verdict verdict = screen(paths, family, owner);
    std::vector<PrivilegedRemovalResult> results;
    results.reserve(verdict.refused.size() + verdict.allowed.size());
    for (const auto& path : verdict.refused) {
        if (stop.stop_requested()) break;
        SMCD_LOG(daemonLog(), LogLevel::error, "removal refused by screening: %{private}s [%{public}s]", path,
                 rawValue(family));
        results.push_back(notRemoved(path, std::string(kRefusedByScreening)));
    }
    for (const auto& path : verdict.allowed) {
        if (stop.stop_requested()) return results;
        results.push_back(removeAllowed(path, family, permanent, owner, trash));
    }
    return results;
}

std::vector<PrivilegedRemovalResult> removePaths(const std::vector<std::string>& paths, Target family,
                                                 bool permanent, uid_t owner, std::stop_token stop) {
    // The peer's own Trash for the peer's own items and the daemon's for any
    // other, each opened at its first item and kept for the rest.
    const std::unique_ptr<platform::TrashCan> peersTrash = platform::trashOf(owner);
    const std::unique_ptr<platform::TrashCan> daemonsTrash = platform::trashOf(::geteuid());
    WhoseTrash trash(owner, *peersTrash, *daemonsTrash);
    return removePaths(paths, family, permanent, owner, trash, stop);
}

}  // namespace removal
}  // namespace smcd
