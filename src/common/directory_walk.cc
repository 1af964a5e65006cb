#include "common/directory_walk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "common/limits.h"
#include "common/unique_dir.h"

namespace smcd {
namespace {

constexpr std::size_t kFewestDescriptors = limits::kWalkFewestOpenLevels + limits::kWalkMomentaryDescriptors;
constexpr std::size_t kMostDescriptors = limits::kWalkOpenLevels + limits::kWalkMomentaryDescriptors;
static_assert(limits::kWalkFewestOpenLevels >= 2, "the start and the level the walk is in stay open");

std::atomic<std::uint64_t> opens{0};

// What one listed name costs while it waits to be handed out.
std::size_t listedCost(const DirectoryEntry& entry) { return sizeof(DirectoryEntry) + entry.name.size(); }

}  // namespace

UniqueFd openDirectoryBelow(int parent, const char* name) {
    return UniqueFd(::openat(parent, name, kNoFollowDirectoryFlags));
}

bool outOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

OpenProblem classifyOpenError(int error) {
    if (error == ELOOP || error == ENOTDIR) return OpenProblem::swapped;
    if (error == ENOENT) return OpenProblem::missing;
    return OpenProblem::denied;
}

std::optional<DirectoryIdentity> identityOf(int fd) {
    struct stat info{};
    if (::fstat(fd, &info) != 0) return std::nullopt;
    return DirectoryIdentity{info.st_dev, info.st_ino};
}

std::uint64_t directoryWalkOpens() { return opens.load(std::memory_order_relaxed); }

Expected<DirectoryWalk, EnterFailure> DirectoryWalk::begin(UniqueFd start) {
    std::optional<WalkShare> descriptors = WalkShare::take(walkDescriptors(), kFewestDescriptors, kMostDescriptors);
    if (!descriptors) return unexpected(EnterFailure{OpenProblem::denied, EMFILE});
    std::optional<WalkShare> listing =
        WalkShare::take(walkListingMemory(), limits::kWalkFewestListingBytes, limits::kWalkListingBytes);
    if (!listing) return unexpected(EnterFailure{OpenProblem::denied, ENOMEM});
    const std::optional<DirectoryIdentity> identity = identityOf(start.get());
    if (!identity) return unexpected(EnterFailure{OpenProblem::denied, errno});
    DirectoryWalk walk(std::move(*descriptors), std::move(*listing));
    walk.levels_.push_back(Level{std::move(start), {}, *identity, {}, 0, 0, false, false, 0});
    walk.open_.push_back(0);
    if (const int error = walk.readChunk(walk.levels_.back()); error != 0) {
        return unexpected(EnterFailure{OpenProblem::denied, error});
    }
    return walk;
}

std::size_t DirectoryWalk::openLevelsAllowed() const {
    return std::min(descriptors_.units() - limits::kWalkMomentaryDescriptors, ceiling_);
}

// The next chunk of the level's listing, through a duplicate so that the
// level's own descriptor stays free of the stream, from where the last chunk
// ended, until the walk's listing share is held. A read error ends the list:
// what was read so far is what there is to work on. Returns the errno of a
// listing that could not be opened, or 0.
int DirectoryWalk::readChunk(Level& level) {
    dropChunk(level);
    UniqueFd copy(::fcntl(level.fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy && outOfDescriptors(errno)) {
        spareDescriptors(level.fd.get());
        copy.reset(::fcntl(level.fd.get(), F_DUPFD_CLOEXEC, 0));
    }
    if (!copy) return errno;
    UniqueDir stream(::fdopendir(copy.get()));
    if (!stream) return errno;
    copy.release();  // the stream owns it now
    ::seekdir(stream.get(), level.resume);
    const std::size_t room = listing_.units() > listedBytes_ ? listing_.units() - listedBytes_ : 0;
    std::size_t bytes = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        level.entries.push_back(DirectoryEntry{std::string(name), entry->d_type});
        bytes += listedCost(level.entries.back());
        if (bytes >= room) {
            level.resume = ::telldir(stream.get());
            listedBytes_ += bytes;
            return 0;
        }
    }
    level.listed = true;
    listedBytes_ += bytes;
    return 0;
}

// Forgets what is left of the level's chunk.
void DirectoryWalk::dropChunk(Level& level) {
    for (std::size_t i = level.next; i < level.entries.size(); ++i) listedBytes_ -= listedCost(level.entries[i]);
    level.entries = {};
    level.next = 0;
}

std::optional<DirectoryEntry> DirectoryWalk::nextEntry() {
    Level& top = levels_.back();
    if (top.next >= top.entries.size()) {
        if (top.listed || top.lost || top.listingError != 0) {
            top.entries = {};
            return std::nullopt;
        }
        top.listingError = readChunk(top);
        if (top.next >= top.entries.size()) return std::nullopt;
    }
    DirectoryEntry entry = std::move(top.entries[top.next++]);
    listedBytes_ -= listedCost(entry);
    return entry;
}

// Counted, and once more after giving up every level the walk can spare
// when the process is out of descriptors.
UniqueFd DirectoryWalk::openLevel(int at, const std::string& name) {
    opens.fetch_add(1, std::memory_order_relaxed);
    UniqueFd fd = openDirectoryBelow(at, name.c_str());
    if (fd || !outOfDescriptors(errno)) return fd;
    spareDescriptors(at);
    opens.fetch_add(1, std::memory_order_relaxed);
    return openDirectoryBelow(at, name.c_str());
}

// Gives up every open level but the start, the top and the one at `keep`,
// and from now on keeps fewer levels open than the walk held when the
// process ran out (never fewer than its fewest).
void DirectoryWalk::spareDescriptors(int keep) {
    ceiling_ = std::max(limits::kWalkFewestOpenLevels, std::min(ceiling_, open_.size()) - 1);
    const std::size_t top = levels_.size() - 1;
    std::vector<std::size_t> kept;
    for (std::size_t index : open_) {
        if (index == 0 || index == top || levels_[index].fd.get() == keep) {
            kept.push_back(index);
        } else {
            levels_[index].fd.reset();
        }
    }
    open_ = std::move(kept);
}

Expected<void, EnterFailure> DirectoryWalk::enter(const std::string& name) {
    UniqueFd fd = openLevel(topFd(), name);
    if (!fd) {
        const int error = errno;
        return unexpected(EnterFailure{classifyOpenError(error), error});
    }
    const std::optional<DirectoryIdentity> identity = identityOf(fd.get());
    if (!identity) return unexpected(EnterFailure{OpenProblem::denied, errno});
    const DirectoryIdentity& start = levels_.front().identity;
    if (identity->device != start.device) {
        return unexpected(EnterFailure{OpenProblem::otherMount, EXDEV});
    }
    levels_.push_back(Level{{}, name, *identity, {}, 0, 0, false, false, 0});
    const std::size_t index = levels_.size() - 1;
    keepOpen(index, std::move(fd), index);
    if (const int error = readChunk(levels_.back()); error != 0) {
        open_.pop_back();
        levels_.pop_back();
        return unexpected(EnterFailure{OpenProblem::denied, error});
    }
    return {};
}

// Makes `index` (deeper than every open level) open, then, while the walk
// holds more levels than it may, gives up the one whose gap, once merged
// with its neighbour's, is smallest for its distance from `top`: the open
// levels end up spaced in proportion to their distance from where the walk
// is, so going back up finds each level again from close by.
void DirectoryWalk::keepOpen(std::size_t index, UniqueFd fd, std::size_t top) {
    levels_[index].fd = std::move(fd);
    open_.push_back(index);
    while (open_.size() > openLevelsAllowed()) {
        std::size_t chosen = 1;
        for (std::size_t j = 2; j + 1 < open_.size(); ++j) {
            // gap(j) / distance(j) < gap(chosen) / distance(chosen), without dividing
            const std::size_t gap = open_[j + 1] - open_[j - 1], chosenGap = open_[chosen + 1] - open_[chosen - 1];
            if (gap * (top - open_[chosen]) < chosenGap * (top - open_[j])) chosen = j;
        }
        levels_[open_[chosen]].fd.reset();
        open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(chosen));
    }
}

Expected<void, LostLevel> DirectoryWalk::leave() {
    dropChunk(levels_.back());
    if (!open_.empty() && open_.back() == levels_.size() - 1) open_.pop_back();
    levels_.pop_back();
    if (levels_.empty()) return {};
    const std::size_t top = levels_.size() - 1;
    if (levels_[top].fd || levels_[top].lost) return {};
    return reach(top);
}

// Down by name from the nearest open ancestor (the start at worst, which is
// never given up), each component checked against the identity it had on the
// way down, and each kept open as the walk's spacing allows.
Expected<void, LostLevel> DirectoryWalk::reach(std::size_t target) {
    int at = levels_[open_.back()].fd.get();
    for (std::size_t index = open_.back() + 1; index <= target; ++index) {
        Level& level = levels_[index];
        UniqueFd fd = openLevel(at, level.name);
        std::optional<LostLevel> lost;
        if (!fd) {
            const int error = errno;
            const OpenProblem problem = classifyOpenError(error);
            lost = LostLevel{index, level.name, problem, error};
        } else if (identityOf(fd.get()) != level.identity) {
            lost = LostLevel{index, level.name, OpenProblem::swapped, 0};
        }
        if (lost) {
            for (std::size_t gone = index; gone <= target; ++gone) {
                dropChunk(levels_[gone]);
                levels_[gone].lost = true;
            }
            return unexpected(std::move(*lost));
        }
        keepOpen(index, std::move(fd), target);
        at = level.fd.get();
    }
    return {};
}

}  // namespace smcd
