#include "removal/measurement.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "walk/directory_walk.h"
#include "common/unicode.h"
#include "common/unique_fd.h"
#include "platform/log/daemon_log.h"
#include "removal/path_text.h"
#include "removal/screening.h"
#include "removal/test_hooks.h"

namespace smcd::removal {
namespace {

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<std::int64_t>::max();
    return sum;
}

struct Totals {
    std::int64_t bytes = 0;
    std::int64_t files = 0;

    void addFile(std::int64_t allocated) {
        bytes = saturatingAdd(bytes, allocated);
        files = saturatingAdd(files, 1);
    }
};

// Opens the measured path component by component from "/", following only
// the system's own alias links, so that a directory the peer swapped for a
// link after screening is not entered.
UniqueFd openMeasuredDirectory(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return {};
    UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string prefix;
    std::size_t start = 1;
    while (current && start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string name(path.substr(start, end - start));
        start = end + 1;
        if (name.empty()) continue;
        if (name == "." || name == "..") return {};
        prefix += '/';
        prefix += name;
        // The system's own alias links are the only ones the path may pass.
        const bool alias = isSystemAliasRoot(prefix);
        current.reset(::openat(current.get(), name.c_str(), alias ? (O_RDONLY | O_DIRECTORY | O_CLOEXEC) : kNoFollowDirectoryFlags));
    }
    return current;
}

// Every level, depth first, each entry's kind and size from the listing.
// Whatever cannot be opened, listed or found again unchanged is skipped: a
// level that moved is not what screening looked at, and another mounted file
// system is not counted. Only a part left unread for want of a descriptor or
// of memory makes the totals unknown: its errno.
Expected<Totals, int> measureBelow(UniqueFd measured, uid_t owner) {
    Totals totals;
    auto begun = DirectoryWalk<>::begin(std::move(measured), owner, platform::ListingDetail::kindsAndSizes);
    if (!begun) {
        if (exhausted(begun.error().error)) return unexpected(begun.error().error);
        return totals;
    }
    DirectoryWalk<>& walk = *begun;
    while (!walk.empty()) {
        const std::optional<DirectoryEntry> entry = walk.nextEntry();
        if (!entry) {
            if (exhausted(walk.topListingError())) return unexpected(walk.topListingError());
            const auto left = walk.leave();
            if (!left.reached && exhausted(left.reached.error().error)) return unexpected(left.reached.error().error);
            continue;
        }
        if (entry->kind == platform::EntryKind::regularFile) totals.addFile(entry->allocatedBytes);
        // Links, devices, sockets, pipes and mounts: nothing to count or follow.
        if (entry->kind != platform::EntryKind::directory) continue;
        SMCD_REMOVAL_HOOK(removal::hooks::Point::betweenComponents, entry->name, walk.depth() - 1, walk.topFd());
        // Gone, unreadable, swapped for a link or another mount: skipped.
        if (auto entered = walk.enter(entry->name); !entered && exhausted(entered.error().error)) {
            return unexpected(entered.error().error);
        }
    }
    return totals;
}

}  // namespace

void to_json(nlohmann::ordered_json& json, const Measurement& measurement) {
    json = nlohmann::ordered_json::object();
    json["path"] = measurement.path;
    json["bytes"] = measurement.bytes;
    json["fileCount"] = measurement.fileCount;
    json["refused"] = measurement.refused;
}

Expected<std::pair<std::int64_t, std::int64_t>, int> measureTree(std::string_view path, uid_t owner) {
    UniqueFd root = openMeasuredDirectory(path);
    if (!root) {
        if (const int error = errno; exhausted(error)) return unexpected(error);
        return std::pair<std::int64_t, std::int64_t>{0, 0};
    }
    const Expected<Totals, int> totals = measureBelow(std::move(root), owner);
    if (!totals) return unexpected(totals.error());
    return std::pair{totals->bytes, totals->files};
}

void measurePaths(const std::vector<std::string>& paths, uid_t owner, const std::function<bool(Measurement)>& each,
                  std::stop_token stop) {
    // The paths seen so far, by their canonical form: the request's own text
    // where it is already canonical (the usual case), so that a long list is
    // not held twice.
    std::unordered_set<std::string_view> seen;
    std::deque<std::string> recomposed;
    for (const auto& path : paths) {
        if (stop.stop_requested()) return;
        std::string key = text::requestKey(path);
        if (seen.contains(key)) continue;
        seen.insert(key == path ? std::string_view(path) : std::string_view(recomposed.emplace_back(std::move(key))));
        if (!acceptsMeasurement(path, owner)) {
            SMCD_LOG(daemonLog(), platform::LogLevel::error, "measurement refused by screening: %{private}s", path);
            if (!each({path, 0, 0, true})) return;
            continue;
        }
        const auto totals = measureTree(path, owner);
        if (!totals) {
            SMCD_LOG(daemonLog(), platform::LogLevel::error,
                     "measurement refused: no %{public}s for the walk: %{private}s",
                     outOfDescriptors(totals.error()) ? "descriptor" : "memory", path);
            if (!each({path, 0, 0, true})) return;
            continue;
        }
        if (!each({path, totals->first, totals->second, false})) return;
    }
}

std::vector<Measurement> measurePaths(const std::vector<std::string>& paths, uid_t owner) {
    std::vector<Measurement> records;
    measurePaths(paths, owner, [&records](Measurement record) {
        records.push_back(std::move(record));
        return true;
    });
    return records;
}

}  // namespace smcd::removal
