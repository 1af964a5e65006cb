#pragma once

// A depth-first walk below one open directory that never follows a symbolic
// link, never leaves the start's mounted file system, and holds a fixed
// number of descriptors and a bounded memory however deep or wide the tree.
// Removal and measurement both walk with it; what they do with each entry is
// theirs. A second worker may take some of the start's entries in a walk of
// its own beside it (besideNow, walk/walk_workers.h).
//
// Descriptors: a walk takes its share of the daemon's walk descriptors when
// it begins (limits.h, "Walks"), for the user it walks for: up to
// kWalkOpenLevels open levels, fewer when the pool or the user's share is
// short, plus one for a moment. The start and the level the walk is in are
// always open; the other open levels are kept so that the gap to the nearest
// open ancestor grows with the distance from the walk's position (near
// levels dense, far ones sparse), which keeps finding a level again a few
// opens per level on every shape: a comb (a chain whose every level has a
// side branch deeper than the open levels) costs opens in proportion to its
// size. A level that gave up its descriptor is found again by name from the
// nearest open ancestor, each component opened relative to the one before it
// and compared with the device and inode its descriptor had when it gave it
// up. A level moved elsewhere (even with its identity intact) is therefore
// never entered again: it is "lost", which removal reports as a swapped
// component and measurement skips.
//
// When the process is out of descriptors anyway (EMFILE, ENFILE) the walk
// gives up every level it can spare and tries once more; what still cannot
// be opened is reported with its errno, never as a change.
//
// Memory: the levels the walk stands in (names included) and the chunks of
// listing it holds count against its memory share, which it takes when it
// begins and grows without waiting while its user's share has room; a level
// or a chunk that does not fit is ENOMEM, reported as exhaustion, never as an
// end. A directory is read in chunks of up to a quarter of what is free,
// resumed where the last chunk ended, through the platform's listing
// (platform/listing), which may say each entry's kind and size in the same
// call. A directory that is the root of a mount is never entered: another
// file system, or a bind mount of this one (the listing's open refuses it).

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/expected.h"
#include "common/limits.h"
#include "common/unique_fd.h"
#include "walk/walk_share.h"
#include "platform/listing/directory_listing.h"

namespace smcd {

// Every open below a directory the walk already holds: relative to it, never
// through a symbolic link, and only if a directory is there.
inline constexpr int kNoFollowDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
UniqueFd openDirectoryBelow(int parent, const char* name);

// Why opening a directory below an open one failed.
enum class OpenProblem {
    swapped,     // ELOOP or ENOTDIR: a link or a non-directory stands where a directory was
    missing,     // ENOENT: nothing stands there any more
    denied,      // anything else, with its errno
    otherMount,  // EXDEV: the root of a mount, another file system or a bind mount of this one: never entered
};
OpenProblem classifyOpenError(int error);

// EMFILE or ENFILE: the process or the system has no descriptor to give.
bool outOfDescriptors(int error);
// No descriptor, or no memory (ENOMEM): the walk could not go on for want of
// what the daemon gives it, which says nothing of the tree.
bool exhausted(int error);

// What a directory is, across file systems: two fresh file systems reuse the
// same inode numbers.
struct DirectoryIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const DirectoryIdentity&) const = default;
};
std::optional<DirectoryIdentity> identityOf(int fd);

// An entry as the listing handed it out: its kind (as far as the walk's
// listing detail asks) and, for a regular file when sizes are asked for, its
// allocated size.
using DirectoryEntry = platform::ListedEntry;

struct EnterFailure {
    OpenProblem problem;
    int error;  // the errno behind the problem
};

// The first level (counted from the start) that could not be found again
// unchanged (`problem` swapped or missing) or could not be opened at all
// (`problem` denied, with its errno); it and every level below it up to the
// top are lost.
struct LostLevel {
    std::size_t depth;
    std::string name;
    OpenProblem problem;
    int error;
};

// Opens counted since the process started, for tests that hold the walk to a
// number of opens in proportion to the tree.
std::uint64_t directoryWalkOpens();

// What a caller keeps for each level when it keeps nothing.
struct NoLevelState {};

// The listing a walk reads through: platform::listEntries, or a test's.
using ListEntriesFunction = int (*)(int directory, platform::ListingDetail detail, platform::ListingCursor& cursor,
                                    std::size_t room, std::vector<platform::ListedEntry>& into, std::size_t& cost);

// `LevelState` is the caller's own record of one level (removal keeps the
// first failure met below it): made when the level is entered, kept in the
// walk's record of the level, handed back when the level is left, so that it
// can never drift from the levels themselves.
template <typename LevelState = NoLevelState>
class DirectoryWalk {
public:
    // `start` becomes level 0: open to the end. Waits for the walk's share of
    // descriptors and memory, out of `owner`'s shares; fails with EMFILE or
    // ENOMEM when the daemon could never give it. `detail` says what each
    // listed entry carries.
    static Expected<DirectoryWalk, EnterFailure> begin(UniqueFd start, uid_t owner,
                                                       platform::ListingDetail detail = platform::ListingDetail::names,
                                                       ListEntriesFunction list = platform::listEntries);

    // A walk for a second worker below this walk's start, for the same user
    // and with the same listing: its start is a duplicate of this one's
    // descriptor, which it never lists (the entries to enter come from this
    // walk's listing), and its shares are its own, taken only if they are
    // free at once (WalkPool::takeNow). Nothing when anything it needs
    // cannot be had now.
    std::optional<DirectoryWalk> besideNow() const;

    bool empty() const { return levels_.empty(); }
    std::size_t depth() const { return levels_.size(); }  // levels on the stack, the start included

    // The top level: its descriptor (-1 once lost), its name in its parent
    // (empty for the start), whether it was lost, and the errno of a listing
    // that could not be read on (0 when none).
    int topFd() const { return levels_.back().fd.get(); }
    const std::string& topName() const { return levels_.back().name; }
    bool topLost() const { return levels_.back().lost; }
    int topListingError() const { return levels_.back().listingError; }

    // The caller's record of the top level, or of the level `depth` levels
    // below the start (0 is the start).
    LevelState& topState() { return levels_.back().state; }
    LevelState& stateAt(std::size_t depth) { return levels_[depth].state; }

    // The top level's next entry, or nothing once all are handed out or the
    // listing failed (topListingError). A lost level has none left.
    std::optional<DirectoryEntry> nextEntry();

    // What is left of the top level's chunk, handed out at once, the next
    // chunk read first when this one is all handed out; empty once the
    // listing is done or failed (topListingError). The entries stay where
    // they are, for this thread and others to read, until the next
    // nextChunk() or nextEntry() at this level: entering and leaving the
    // levels below moves nothing of it.
    std::span<const DirectoryEntry> nextChunk();

    // Opens `name` below the top level without following a link, lists it
    // and makes it the new top, with a fresh state. The root of a mount is
    // not entered (otherMount); a level the walk's memory cannot hold is
    // denied ENOMEM.
    Expected<void, EnterFailure> enter(const std::string& name);

    // Closes and drops the top level, handing back its state. When the new
    // top gave up its descriptor it is found again; failing that, `reached`
    // says which levels, from LostLevel::depth to the new top, are lost (no
    // descriptor, no entries left).
    struct Left {
        LevelState state;
        Expected<void, LostLevel> reached;
    };
    Left leave();

private:
    struct Level {
        UniqueFd fd;  // empty while the level has given up its descriptor, or lost
        bool lost = false;
        int listingError = 0;
        std::string name;
        DirectoryIdentity identity;  // noted when the level gives up its descriptor
        std::vector<DirectoryEntry> entries;  // the chunk being handed out
        std::size_t next = 0;
        std::size_t chunkCost = 0;  // what the chunk holds, counted against the walk's memory
        platform::ListingCursor resume;  // where the listing goes on after this chunk
        LevelState state{};
    };

    DirectoryWalk(uid_t owner, WalkShare descriptors, WalkShare memory, platform::ListingDetail detail,
                  ListEntriesFunction list)
        : owner_(owner), descriptors_(std::move(descriptors)), memory_(std::move(memory)), detail_(detail), list_(list) {}

    static std::size_t levelCost(const std::string& name) { return sizeof(Level) + name.size(); }
    std::size_t freeMemory() const { return memory_.units() > heldBytes_ ? memory_.units() - heldBytes_ : 0; }
    bool makeRoom(std::size_t bytes);
    std::size_t openLevelsAllowed() const;
    int readChunk(Level& level);
    bool refill(Level& level);
    void dropChunk(Level& level);
    void push(const std::string& name, UniqueFd fd);
    void giveUp(Level& level);
    UniqueFd openLevel(int at, const std::string& name);
    void spareDescriptors(int keep);
    void keepOpen(std::size_t index, UniqueFd fd, std::size_t top);
    Expected<void, LostLevel> reach(std::size_t target);

    uid_t owner_;
    WalkShare descriptors_;
    WalkShare memory_;
    platform::ListingDetail detail_;
    ListEntriesFunction list_;
    std::size_t heldBytes_ = 0;  // the levels and their chunks, within memory_
    std::size_t ceiling_ = limits::kWalkOpenLevels;  // lowered when the process runs out of descriptors
    std::deque<Level> levels_;  // grows a block at a time, never copied whole
    std::vector<std::size_t> open_;  // levels holding a descriptor, shallowest first
};

// The walk's shares of the daemon's pools for a walk of `owner`, taken when
// it begins (fails with EMFILE or ENOMEM when the pools could never hold the
// walk's fewest).
struct WalkShares {
    WalkShare descriptors;
    WalkShare memory;
};
Expected<WalkShares, EnterFailure> takeWalkShares(uid_t owner);
// Both shares only if they are free at once (WalkPool::takeNow).
std::optional<WalkShares> takeWalkSharesNow(uid_t owner);

// A second descriptor for the same open directory, close-on-exec: -1 with
// errno set when none can be had.
UniqueFd duplicateDirectory(int directory);

// An open below `at` within its mount (platform::openDirectoryWithin),
// counted for directoryWalkOpens().
UniqueFd countedOpenBelow(int at, const std::string& name);

}  // namespace smcd

#include "walk/directory_walk_levels.h"
