#include "walk/directory_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "common/limits.h"

namespace smcd {
namespace {

constexpr std::size_t kMostDescriptors = limits::kWalkOpenLevels + limits::kWalkMomentaryDescriptors;
static_assert(limits::kWalkFewestOpenLevels >= 2, "the start and the level the walk is in stay open");

std::atomic<std::uint64_t> opens{0};

}  // namespace

UniqueFd openDirectoryBelow(int parent, const char* name) {
    return UniqueFd(::openat(parent, name, kNoFollowDirectoryFlags));
}

bool outOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

bool exhausted(int error) { return outOfDescriptors(error) || error == ENOMEM; }

OpenProblem classifyOpenError(int error) {
    if (error == ELOOP || error == ENOTDIR) return OpenProblem::swapped;
    if (error == ENOENT) return OpenProblem::missing;
    if (error == EXDEV) return OpenProblem::otherMount;
    return OpenProblem::denied;
}

std::optional<DirectoryIdentity> identityOf(int fd) {
    struct stat info{};
    if (::fstat(fd, &info) != 0) return std::nullopt;
    return DirectoryIdentity{info.st_dev, info.st_ino};
}

std::uint64_t directoryWalkOpens() { return opens.load(std::memory_order_relaxed); }

Expected<WalkShares, EnterFailure> takeWalkShares(uid_t owner) {
    std::optional<WalkShare> descriptors = WalkShare::take(walkDescriptors(), owner, kMostDescriptors);
    if (!descriptors) return unexpected(EnterFailure{OpenProblem::denied, EMFILE});
    std::optional<WalkShare> memory = WalkShare::take(walkMemory(), owner, limits::kWalkMemoryBytes);
    if (!memory) return unexpected(EnterFailure{OpenProblem::denied, ENOMEM});
    return WalkShares{std::move(*descriptors), std::move(*memory)};
}

std::optional<WalkShares> takeWalkSharesNow(uid_t owner) {
    std::optional<WalkShare> descriptors = WalkShare::takeNow(walkDescriptors(), owner, kMostDescriptors);
    if (!descriptors) return std::nullopt;
    std::optional<WalkShare> memory = WalkShare::takeNow(walkMemory(), owner, limits::kWalkMemoryBytes);
    if (!memory) return std::nullopt;
    return WalkShares{std::move(*descriptors), std::move(*memory)};
}

UniqueFd duplicateDirectory(int directory) { return UniqueFd(::fcntl(directory, F_DUPFD_CLOEXEC, 0)); }

UniqueFd countedOpenBelow(int at, const std::string& name) {
    opens.fetch_add(1, std::memory_order_relaxed);
    return UniqueFd(platform::openDirectoryWithin(at, name.c_str()));
}

}  // namespace smcd
