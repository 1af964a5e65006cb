#include "platform/process/guardian_process.h"

#include <fcntl.h>
#include <linux/oom.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/process/linux/spawn_object.h"

namespace smcd::platform {
namespace {

// The executable this process runs, even once an update has replaced the
// file at its path: the guardian is always the daemon's own version.
constexpr const char* kOwnExecutable = "/proc/self/exe";

// Posts are abstract socket names: no file, gone with the last descriptor.
struct AbstractAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};

std::optional<AbstractAddress> abstractAddress(std::string_view name) {
    AbstractAddress result;
    result.address.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof(result.address.sun_path)) return std::nullopt;
    std::memcpy(result.address.sun_path + 1, name.data(), name.size());
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return result;
}

bool socketOption(int fd, int option, int expected) {
    int value = 0;
    socklen_t length = sizeof(value);
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 && value == expected;
}

}  // namespace

Expected<SpawnedGuardian, int> spawnGuardian() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return unexpected(errno);
    UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    // dup2 onto itself would leave the copy close-on-exec.
    if (theirs.get() == kGuardianLinkDescriptor) {
        theirs.reset(::fcntl(theirs.get(), F_DUPFD_CLOEXEC, kGuardianLinkDescriptor + 1));
        if (!theirs) return unexpected(errno);
    }

    SpawnAttributes attributes;
    if (attributes.initError()) return unexpected(attributes.initError());
    sigset_t all;
    sigfillset(&all);
    if (int rc = ::posix_spawnattr_setsigdefault(attributes.get(), &all)) return unexpected(rc);
    if (int rc = ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID)) {
        return unexpected(rc);
    }
    SpawnFileActions actions;
    if (actions.initError()) return unexpected(actions.initError());
    if (int rc = ::posix_spawn_file_actions_adddup2(actions.get(), theirs.get(), kGuardianLinkDescriptor)) {
        return unexpected(rc);
    }
    if (int rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), kGuardianLinkDescriptor + 1)) {
        return unexpected(rc);
    }

    char name[] = "smcd";
    char* argv[] = {name, nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    if (int rc = ::posix_spawn(&pid, kOwnExecutable, actions.get(), attributes.get(), argv, envp)) {
        return unexpected(rc);
    }
    return SpawnedGuardian{pid, std::move(ours)};
}

UniqueFd takeGuardianLink() {
    const int fd = kGuardianLinkDescriptor;
    ucred peer{};
    socklen_t length = sizeof(peer);
    // A socket-activated daemon finds its listening stream socket here.
    if (!socketOption(fd, SO_DOMAIN, AF_UNIX) || !socketOption(fd, SO_TYPE, SOCK_SEQPACKET) ||
        !socketOption(fd, SO_ACCEPTCONN, 0) || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.pid <= 0 || peer.uid != ::geteuid()) {
        return UniqueFd();
    }
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return UniqueFd();
    return UniqueFd(fd);
}

Expected<void, int> becomeLastForMemoryKiller() {
    const UniqueFd adjustment(::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC));
    if (!adjustment) return unexpected(errno);
    char text[16];
    const int length = std::snprintf(text, sizeof(text), "%d", OOM_SCORE_ADJ_MIN);
    const ssize_t written = ::write(adjustment.get(), text, static_cast<std::size_t>(length));
    if (written < 0) return unexpected(errno);
    if (written != length) return unexpected(EIO);
    return {};
}

Expected<UniqueFd, int> holdGuardianPost(std::string_view name) {
    const auto address = abstractAddress(name);
    if (!address) return unexpected(ENAMETOOLONG);
    UniqueFd post(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!post) return unexpected(errno);
    if (::bind(post.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0 ||
        ::listen(post.get(), SOMAXCONN) != 0) {
        return unexpected(errno);
    }
    return post;
}

PostHolder guardianPostHolder(std::string_view name) {
    const auto address = abstractAddress(name);
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!address || !probe) return {PostHolder::Kind::unknown};
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0) {
        // A full backlog (EAGAIN) hides who holds it.
        return {errno == ECONNREFUSED || errno == ENOENT ? PostHolder::Kind::nobody : PostHolder::Kind::unknown};
    }
    // The credentials the holder had when it began to listen.
    ucred holder{};
    socklen_t length = sizeof(holder);
    if (::getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &holder, &length) != 0) return {PostHolder::Kind::unknown};
    if (holder.uid == 0) return {PostHolder::Kind::root};
    return {PostHolder::Kind::other, holder.uid};
}

}  // namespace smcd::platform
