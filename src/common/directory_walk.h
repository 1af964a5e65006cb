#pragma once

// A depth-first walk below one open directory that never follows a symbolic
// link and holds a fixed number of descriptors however deep the tree is.
// Removal and measurement both walk with it; what they do with each entry is
// theirs.
//
// Budget: kOpenLevelBudget levels are open at once (kWindowLevels nearest
// the deepest level, the rest as checkpoints spread evenly above them), plus
// the starting directory and at most two transient descriptors (one while a
// level is listed, two while a level is being found again). 32 keeps every
// ordinary tree (up to 32 levels) fully open, so nothing is ever looked up
// twice, while a daemon at the default soft limit of 1024 descriptors can run
// dozens of walks at once and still accept connections and write its
// records. A deeper level gives up its descriptor and is found again by name
// from the nearest still-open ancestor, each component opened relative to
// the one before it and compared by device and inode with what was seen on
// the way down. A level moved elsewhere (even with its identity intact) is
// therefore never entered again: it is "lost", which removal reports as a
// swapped component and measurement skips.

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/expected.h"
#include "common/unique_fd.h"

namespace smcd {

// Every open below a directory the walk already holds: relative to it, never
// through a symbolic link, and only if a directory is there.
inline constexpr int kNoFollowDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
UniqueFd openDirectoryBelow(int parent, const char* name);

// Why opening a directory below an open one failed.
enum class OpenProblem {
    swapped,  // ELOOP or ENOTDIR: a link or a non-directory stands where a directory was
    missing,  // ENOENT: nothing stands there any more
    denied,   // anything else, with its errno
};
OpenProblem classifyOpenError(int error);

struct DirectoryIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const DirectoryIdentity&) const = default;
};
std::optional<DirectoryIdentity> identityOf(int fd);

struct DirectoryEntry {
    std::string name;
    unsigned char type = DT_UNKNOWN;  // as the directory read reported it
};

struct EnterFailure {
    OpenProblem problem;
    int error;  // the errno behind the problem
};

// The first level (counted from the start) that could not be found again
// unchanged; it and every level below it up to the top are lost.
struct LostLevel {
    std::size_t depth;
    std::string name;
};

class DirectoryWalk {
public:
    static constexpr std::size_t kOpenLevelBudget = 32;
    static constexpr std::size_t kWindowLevels = 16;

    // `start` becomes level 0: listed at once and open to the end.
    static Expected<DirectoryWalk, EnterFailure> begin(UniqueFd start);

    bool empty() const { return levels_.empty(); }
    std::size_t depth() const { return levels_.size(); }  // levels on the stack, the start included

    // The top level: its descriptor (-1 once lost), its name in its parent
    // (empty for the start), and whether it was lost.
    int topFd() const { return levels_.back().fd.get(); }
    const std::string& topName() const { return levels_.back().name; }
    bool topLost() const { return levels_.back().lost; }

    // The top level's next entry, read when the level was entered, or
    // nothing once all are handed out. A lost level has none left.
    std::optional<DirectoryEntry> nextEntry();

    // Opens `name` below the top level without following a link, lists it
    // and makes it the new top.
    Expected<void, EnterFailure> enter(const std::string& name);

    // Closes and drops the top level. When the new top gave up its descriptor
    // it is found again; failing that, the levels from LostLevel::depth to
    // the new top are lost (no descriptor, no entries left).
    Expected<void, LostLevel> leave();

private:
    DirectoryWalk() = default;

    struct Level {
        UniqueFd fd;  // empty while the level has given up its descriptor, or lost
        std::string name;
        std::optional<DirectoryIdentity> identity;  // taken when the descriptor is given up
        std::vector<DirectoryEntry> entries;
        std::size_t next = 0;
        bool lost = false;
    };

    Expected<void, EnterFailure> push(UniqueFd fd, std::string name);
    void giveUpDescriptor(std::size_t index);
    void keepWithinBudget();
    Expected<void, LostLevel> reach(std::size_t target);

    std::vector<Level> levels_;
    std::vector<std::size_t> checkpoints_;  // open levels above the window, shallowest first
    std::size_t stride_ = 1;                // checkpoints stand at multiples of it
};

}  // namespace smcd
