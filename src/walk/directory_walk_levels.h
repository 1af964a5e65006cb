#pragma once

// The steps of DirectoryWalk (directory_walk.h), a template for the caller's
// record of each level.

#include <algorithm>
#include <cerrno>
#include <utility>

namespace smcd {

template <typename LevelState>
Expected<DirectoryWalk<LevelState>, EnterFailure> DirectoryWalk<LevelState>::begin(UniqueFd start, uid_t owner,
                                                                                   platform::ListingDetail detail,
                                                                                   ListEntriesFunction list) {
    auto shares = takeWalkShares(owner);
    if (!shares) return unexpected(shares.error());
    DirectoryWalk walk(owner, std::move(shares->descriptors), std::move(shares->memory), detail, list);
    if (!walk.makeRoom(levelCost({}))) return unexpected(EnterFailure{OpenProblem::denied, ENOMEM});
    walk.push({}, std::move(start));
    walk.open_.push_back(0);
    if (const int error = walk.readChunk(walk.levels_.back()); error != 0) {
        return unexpected(EnterFailure{OpenProblem::denied, error});
    }
    return walk;
}

template <typename LevelState>
std::optional<DirectoryWalk<LevelState>> DirectoryWalk<LevelState>::besideNow() const {
    std::optional<WalkShares> shares = takeWalkSharesNow(owner_);
    if (!shares) return std::nullopt;
    DirectoryWalk walk(owner_, std::move(shares->descriptors), std::move(shares->memory), detail_, list_);
    UniqueFd start = duplicateDirectory(levels_.front().fd.get());
    if (!start || !walk.makeRoom(levelCost({}))) return std::nullopt;
    walk.push({}, std::move(start));
    walk.open_.push_back(0);
    // Reading through the duplicate would move the listing of the walk
    // beside, which shares its position: it has nothing to hand out.
    walk.levels_.back().resume.atEnd = true;
    return walk;
}

// At least `bytes` free in the walk's memory share, taking more from its
// user's share without waiting (in steps of a walk's fewest, so that a deep
// walk asks seldom); false when neither has it.
template <typename LevelState>
bool DirectoryWalk<LevelState>::makeRoom(std::size_t bytes) {
    if (freeMemory() >= bytes) return true;
    const std::size_t missing = bytes - freeMemory();
    const std::size_t step = limits::kWalkFewestMemoryBytes;
    return memory_.grow((missing + step - 1) / step * step) || memory_.grow(missing);
}

template <typename LevelState>
std::size_t DirectoryWalk<LevelState>::openLevelsAllowed() const {
    return std::min(descriptors_.units() - limits::kWalkMomentaryDescriptors, ceiling_);
}

// The next chunk of the level's listing, from where the last chunk ended:
// entries costing up to a quarter of the walk's free memory, so that with
// the slots their vector holds beyond them (never more than it holds) the
// chunk takes at most half and the levels below find room too. When little
// is free, a fewest more is asked of the user's share first. Returns the
// errno of a listing that could not be read on (ENOMEM when not even one
// more entry fits), or 0.
template <typename LevelState>
int DirectoryWalk<LevelState>::readChunk(Level& level) {
    dropChunk(level);
    if (freeMemory() < limits::kWalkFewestMemoryBytes) makeRoom(limits::kWalkFewestMemoryBytes);
    std::size_t cost = 0;
    const int error = list_(level.fd.get(), detail_, level.resume, freeMemory() / 4, level.entries, cost);
    level.chunkCost = cost + (level.entries.capacity() - level.entries.size()) * sizeof(DirectoryEntry);
    heldBytes_ += level.chunkCost;
    return error;
}

// Forgets what is left of the level's chunk.
template <typename LevelState>
void DirectoryWalk<LevelState>::dropChunk(Level& level) {
    heldBytes_ -= level.chunkCost;
    level.chunkCost = 0;
    level.entries = {};
    level.next = 0;
}

// Whether the level has entries left to hand out, the next chunk read once
// the last one is all handed out.
template <typename LevelState>
bool DirectoryWalk<LevelState>::refill(Level& level) {
    if (level.next < level.entries.size()) return true;
    if (level.resume.atEnd || level.lost || level.listingError != 0) {
        dropChunk(level);
        return false;
    }
    level.listingError = readChunk(level);
    return level.next < level.entries.size();
}

template <typename LevelState>
std::optional<DirectoryEntry> DirectoryWalk<LevelState>::nextEntry() {
    Level& top = levels_.back();
    if (!refill(top)) return std::nullopt;
    DirectoryEntry entry = std::move(top.entries[top.next++]);
    // The last of a listing handed out: its memory is the levels' below.
    if (top.next == top.entries.size() && top.resume.atEnd) dropChunk(top);
    return entry;
}

template <typename LevelState>
std::span<const DirectoryEntry> DirectoryWalk<LevelState>::nextChunk() {
    Level& top = levels_.back();
    if (!refill(top)) return {};
    const std::span<const DirectoryEntry> chunk(top.entries.data() + top.next, top.entries.size() - top.next);
    top.next = top.entries.size();
    return chunk;
}

// A new top level, its cost counted in the room made for it.
template <typename LevelState>
void DirectoryWalk<LevelState>::push(const std::string& name, UniqueFd fd) {
    heldBytes_ += levelCost(name);
    Level& level = levels_.emplace_back();
    level.fd = std::move(fd);
    level.name = name;
}

// Closes the level's descriptor, first noting what the directory is, so
// that finding it again by name tells it from anything put in its place
// (nothing can match a level whose identity could not be read).
template <typename LevelState>
void DirectoryWalk<LevelState>::giveUp(Level& level) {
    level.identity = identityOf(level.fd.get()).value_or(DirectoryIdentity{});
    level.fd.reset();
}

// Once more after giving up every level the walk can spare when the process
// is out of descriptors.
template <typename LevelState>
UniqueFd DirectoryWalk<LevelState>::openLevel(int at, const std::string& name) {
    UniqueFd fd = countedOpenBelow(at, name);
    if (fd || !outOfDescriptors(errno)) return fd;
    spareDescriptors(at);
    return countedOpenBelow(at, name);
}

// Gives up every open level but the start, the top and the one at `keep`,
// and from now on keeps fewer levels open than the walk held when the
// process ran out (never fewer than its fewest).
template <typename LevelState>
void DirectoryWalk<LevelState>::spareDescriptors(int keep) {
    ceiling_ = std::max(limits::kWalkFewestOpenLevels, std::min(ceiling_, open_.size()) - 1);
    const std::size_t top = levels_.size() - 1;
    std::vector<std::size_t> kept;
    for (std::size_t index : open_) {
        if (index == 0 || index == top || levels_[index].fd.get() == keep) {
            kept.push_back(index);
        } else {
            giveUp(levels_[index]);
        }
    }
    open_ = std::move(kept);
}

template <typename LevelState>
Expected<void, EnterFailure> DirectoryWalk<LevelState>::enter(const std::string& name) {
    if (!makeRoom(levelCost(name))) return unexpected(EnterFailure{OpenProblem::denied, ENOMEM});
    UniqueFd fd = openLevel(topFd(), name);
    if (!fd) {
        const int error = errno;
        return unexpected(EnterFailure{classifyOpenError(error), error});
    }
    push(name, {});
    const std::size_t index = levels_.size() - 1;
    keepOpen(index, std::move(fd), index);
    if (const int error = readChunk(levels_.back()); error != 0) {
        leave();
        return unexpected(EnterFailure{OpenProblem::denied, error});
    }
    return {};
}

// Makes `index` (deeper than every open level) open, then, while the walk
// holds more levels than it may, gives up the one whose gap, once merged
// with its neighbour's, is smallest for its distance from `top`: the open
// levels end up spaced in proportion to their distance from where the walk
// is, so going back up finds each level again from close by.
template <typename LevelState>
void DirectoryWalk<LevelState>::keepOpen(std::size_t index, UniqueFd fd, std::size_t top) {
    levels_[index].fd = std::move(fd);
    open_.push_back(index);
    while (open_.size() > openLevelsAllowed()) {
        std::size_t chosen = 1;
        for (std::size_t j = 2; j + 1 < open_.size(); ++j) {
            // gap(j) / distance(j) < gap(chosen) / distance(chosen), without dividing
            const std::size_t gap = open_[j + 1] - open_[j - 1], chosenGap = open_[chosen + 1] - open_[chosen - 1];
            if (gap * (top - open_[chosen]) < chosenGap * (top - open_[j])) chosen = j;
        }
        giveUp(levels_[open_[chosen]]);
        open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(chosen));
    }
}

template <typename LevelState>
typename DirectoryWalk<LevelState>::Left DirectoryWalk<LevelState>::leave() {
    Level& gone = levels_.back();
    dropChunk(gone);
    heldBytes_ -= levelCost(gone.name);
    if (!open_.empty() && open_.back() == levels_.size() - 1) open_.pop_back();
    Left left{std::move(gone.state), {}};
    levels_.pop_back();
    if (levels_.empty()) return left;
    const std::size_t top = levels_.size() - 1;
    if (levels_[top].fd || levels_[top].lost) return left;
    left.reached = reach(top);
    return left;
}

// Down by name from the nearest open ancestor (the start at worst, which is
// never given up), each component checked against the identity it had when
// it gave up its descriptor (a level that has become the root of a mount is
// not opened at all), and each kept open as the walk's spacing allows.
template <typename LevelState>
Expected<void, LostLevel> DirectoryWalk<LevelState>::reach(std::size_t target) {
    int at = levels_[open_.back()].fd.get();
    for (std::size_t index = open_.back() + 1; index <= target; ++index) {
        Level& level = levels_[index];
        UniqueFd fd = openLevel(at, level.name);
        std::optional<LostLevel> lost;
        if (!fd) {
            const int error = errno;
            // Entered as a plain directory, now the root of a mount: replaced.
            OpenProblem problem = classifyOpenError(error);
            if (problem == OpenProblem::otherMount) problem = OpenProblem::swapped;
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
