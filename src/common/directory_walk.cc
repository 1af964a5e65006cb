#include "common/directory_walk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/unique_dir.h"

namespace smcd {
namespace {

static_assert(DirectoryWalk::kWindowLevels < DirectoryWalk::kOpenLevelBudget);
constexpr std::size_t kCheckpointLevels = DirectoryWalk::kOpenLevelBudget - DirectoryWalk::kWindowLevels;

// Every entry of an open directory, read through a duplicate so that the
// level's own descriptor stays free of the stream. A read error ends the
// list: what was read so far is what there is to work on.
Expected<std::vector<DirectoryEntry>, int> listEntries(int fd) {
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) return unexpected(errno);
    UniqueDir stream(::fdopendir(copy.get()));
    if (!stream) return unexpected(errno);
    copy.release();  // the stream owns it now
    std::vector<DirectoryEntry> entries;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        entries.push_back(DirectoryEntry{std::string(name), entry->d_type});
    }
    return entries;
}

}  // namespace

UniqueFd openDirectoryBelow(int parent, const char* name) {
    return UniqueFd(::openat(parent, name, kNoFollowDirectoryFlags));
}

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

Expected<DirectoryWalk, EnterFailure> DirectoryWalk::begin(UniqueFd start) {
    DirectoryWalk walk;
    if (auto pushed = walk.push(std::move(start), {}); !pushed) return unexpected(pushed.error());
    return walk;
}

std::optional<DirectoryEntry> DirectoryWalk::nextEntry() {
    Level& top = levels_.back();
    if (top.next >= top.entries.size()) return std::nullopt;
    return std::move(top.entries[top.next++]);
}

Expected<void, EnterFailure> DirectoryWalk::enter(const std::string& name) {
    UniqueFd fd = openDirectoryBelow(topFd(), name.c_str());
    if (!fd) {
        const int error = errno;
        return unexpected(EnterFailure{classifyOpenError(error), error});
    }
    return push(std::move(fd), name);
}

Expected<void, EnterFailure> DirectoryWalk::push(UniqueFd fd, std::string name) {
    auto entries = listEntries(fd.get());
    if (!entries) return unexpected(EnterFailure{OpenProblem::denied, entries.error()});
    levels_.push_back(Level{std::move(fd), std::move(name), std::nullopt, std::move(*entries), 0, false});
    keepWithinBudget();
    return {};
}

// The level leaving the window stays open as a checkpoint when it falls on
// the stride; when there are too many checkpoints the stride doubles and
// every other one gives up its descriptor. Checkpoints thus stay spread
// evenly over any depth, so finding a level again costs at most a stride's
// worth of opens.
void DirectoryWalk::keepWithinBudget() {
    const std::size_t top = levels_.size() - 1;
    if (top <= kWindowLevels) return;
    const std::size_t leaving = top - kWindowLevels;
    if (!levels_[leaving].fd) return;
    if (leaving % stride_ == 0) {
        checkpoints_.push_back(leaving);
    } else {
        giveUpDescriptor(leaving);
    }
    while (checkpoints_.size() > kCheckpointLevels) {
        stride_ *= 2;
        std::vector<std::size_t> kept;
        for (std::size_t index : checkpoints_) {
            if (index % stride_ == 0) {
                kept.push_back(index);
            } else {
                giveUpDescriptor(index);
            }
        }
        checkpoints_ = std::move(kept);
    }
}

void DirectoryWalk::giveUpDescriptor(std::size_t index) {
    Level& level = levels_[index];
    level.identity = identityOf(level.fd.get());
    level.fd.reset();
}

Expected<void, LostLevel> DirectoryWalk::leave() {
    levels_.pop_back();
    if (levels_.empty()) return {};
    const std::size_t top = levels_.size() - 1;
    // A checkpoint that the window reaches again is part of the window now.
    while (!checkpoints_.empty() && checkpoints_.back() + kWindowLevels > top) checkpoints_.pop_back();
    if (levels_[top].fd || levels_[top].lost) return {};
    return reach(top);
}

// Down by name from the nearest open ancestor (the start at worst, which is
// never given up), each component checked against the identity it had when
// it gave up its descriptor. The levels that belong to the window again
// keep their new descriptors, and the free checkpoints are spread over the
// levels passed on the way, so that the next levels to be found again are
// found from close by.
Expected<void, LostLevel> DirectoryWalk::reach(std::size_t target) {
    std::size_t ancestor = target;
    while (!levels_[ancestor].fd) --ancestor;
    const std::size_t keepFrom = std::max(ancestor + 1, target + 1 > kWindowLevels ? target + 1 - kWindowLevels : 0);
    const std::size_t passed = keepFrom - ancestor - 1;
    const std::size_t freeSlots = kCheckpointLevels - std::min(kCheckpointLevels, checkpoints_.size());
    const std::size_t spacing = std::max<std::size_t>(1, (passed + freeSlots) / (freeSlots + 1));
    int at = levels_[ancestor].fd.get();
    UniqueFd passing;
    for (std::size_t index = ancestor + 1; index <= target; ++index) {
        Level& level = levels_[index];
        UniqueFd fd = openDirectoryBelow(at, level.name.c_str());
        if (!fd || !level.identity || identityOf(fd.get()) != level.identity) {
            for (std::size_t lost = index; lost <= target; ++lost) {
                levels_[lost].lost = true;
                levels_[lost].next = levels_[lost].entries.size();
            }
            return unexpected(LostLevel{index, level.name});
        }
        at = fd.get();
        if (index >= keepFrom) {
            level.fd = std::move(fd);
        } else if ((index - ancestor) % spacing == 0 && checkpoints_.size() < kCheckpointLevels) {
            level.fd = std::move(fd);
            checkpoints_.push_back(index);
        } else {
            passing = std::move(fd);
        }
    }
    return {};
}

}  // namespace smcd
