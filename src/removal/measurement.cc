#include "removal/measurement.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "walk/directory_walk.h"
#include "walk/walk_workers.h"
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
    void add(const Totals& other) {
        bytes = saturatingAdd(bytes, other.bytes);
        files = saturatingAdd(files, other.files);
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

// One entry of the walk's top level: a regular file counted, a directory
// entered (the caller counts what is in it). Whatever cannot be entered is
// skipped: gone, unreadable, swapped for a link (a level that moved is not
// what screening looked at) or another mount (another file system is not
// counted). Only a level left unread for want of a descriptor or of memory
// makes the totals unknown: its errno; 0 otherwise.
int countOrEnter(DirectoryWalk<>& walk, const DirectoryEntry& entry, Totals& totals) {
    if (entry.kind == platform::EntryKind::regularFile) totals.addFile(entry.allocatedBytes);
    // Links, devices, sockets, pipes and mounts: nothing to count or follow.
    if (entry.kind != platform::EntryKind::directory) return 0;
    SMCD_REMOVAL_HOOK(removal::hooks::Point::betweenComponents, entry.name, walk.depth() - 1, walk.topFd());
    if (auto entered = walk.enter(entry.name); !entered && exhausted(entered.error().error)) {
        return entered.error().error;
    }
    return 0;
}

// Every level below the walk's top, depth first, each entry's kind and size
// from the listing, until the walk is back at `depth` levels; the errno of
// a part left unread for want of a descriptor or of memory, or 0.
int countDownTo(std::size_t depth, DirectoryWalk<>& walk, Totals& totals) {
    while (walk.depth() > depth) {
        const std::optional<DirectoryEntry> entry = walk.nextEntry();
        if (!entry) {
            if (exhausted(walk.topListingError())) return walk.topListingError();
            const auto left = walk.leave();
            if (!left.reached && exhausted(left.reached.error().error)) return left.reached.error().error;
            continue;
        }
        if (const int error = countOrEnter(walk, *entry, totals); error != 0) return error;
    }
    return 0;
}

// What one worker counted below the entries of the measured directory it
// took, and the exhaustion that stopped it, if one did.
struct Counter {
    Totals totals;
    int error = 0;

    bool operator()(DirectoryWalk<>& walk, std::size_t, const DirectoryEntry& entry) {
        error = countOrEnter(walk, entry, totals);
        if (error == 0) error = countDownTo(1, walk, totals);
        return error == 0;
    }
};

// The measured directory's entries shared out between the walk's workers,
// each counting its own; the sums saturate.
Expected<Totals, int> measureBelow(UniqueFd measured, uid_t owner) {
    Totals totals;
    auto begun = DirectoryWalk<>::begin(std::move(measured), owner, platform::ListingDetail::kindsAndSizes);
    if (!begun) {
        if (exhausted(begun.error().error)) return unexpected(begun.error().error);
        return totals;
    }
    std::array<Counter, limits::kWalkWorkers> workers{};
    forEachTopEntry(*begun, workers);
    for (const Counter& worker : workers) {
        if (worker.error != 0) return unexpected(worker.error);
        totals.add(worker.totals);
    }
    if (exhausted(begun->topListingError())) return unexpected(begun->topListingError());
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
