#include "platform/code_signing/linux/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

// Debian 12's headers predate the option; the kernel value is fixed ABI.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace smcd::platform {
namespace {

// Debian 12's <sys/pidfd.h> declares pidfd_open without C linkage, so a C++
// caller cannot link against it; the system call itself is stable.
int openPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u));
}

enum class SocketPidfdOutcome { obtained, unsupported, processGone, failed };

SocketPidfdOutcome socketPidfd(int connectedSocket, UniqueFd& pidfd) {
    int fd = -1;
    socklen_t length = sizeof(fd);
    // The kernel always creates this descriptor close-on-exec.
    if (::getsockopt(connectedSocket, SOL_SOCKET, SO_PEERPIDFD, &fd, &length) == 0) {
        pidfd.reset(fd);
        return length == sizeof(fd) && pidfd.valid() ? SocketPidfdOutcome::obtained : SocketPidfdOutcome::failed;
    }
    switch (errno) {
        case ENOPROTOOPT: return SocketPidfdOutcome::unsupported;
        // Kernels before 6.16 cannot hand out a pidfd for a reaped process.
        case ESRCH:
        case EINVAL: return SocketPidfdOutcome::processGone;
        default: return SocketPidfdOutcome::failed;
    }
}

// The pid the pidfd refers to, as this process sees it: -1 once the process
// has been reaped, 0 when it lives in a pid namespace we cannot see into.
std::optional<pid_t> pidOfPidfd(const UniqueFd& pidfd) {
    const std::string path = "/proc/self/fdinfo/" + std::to_string(pidfd.get());
    UniqueFd info(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!info) return std::nullopt;
    std::array<char, 4096> buffer{};
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t got = ::read(info.get(), buffer.data() + filled, buffer.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    const std::string_view text(buffer.data(), filled);
    constexpr std::string_view kPidField = "\nPid:";
    const std::size_t at = text.find(kPidField);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t start = text.find_first_not_of(" \t", at + kPidField.size());
    if (start == std::string_view::npos) return std::nullopt;
    pid_t pid = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data() + start, end, pid);
    if (ec != std::errc{} || ptr == end || *ptr != '\n') return std::nullopt;
    return pid;
}

}  // namespace

bool pinnedProcessHasExited(const UniqueFd& pidfd) {
    // poll skips a negative descriptor and would report nothing: "alive".
    if (!pidfd.valid()) return true;
    pollfd entry{pidfd.get(), POLLIN, 0};
    while (true) {
        const int ready = ::poll(&entry, 1, 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return true;
        return ready > 0;
    }
}

Expected<PinnedPeer, PeerProcessFailure> pinPeerProcess(int connectedSocket, PeerPinStrategy strategy) {
    const auto credentials = readPeerCredentials(connectedSocket);
    if (!credentials) return unexpected(PeerProcessFailure::socketUnusable);

    UniqueFd pidfd;
    SocketPidfdOutcome outcome = SocketPidfdOutcome::unsupported;
    if (strategy == PeerPinStrategy::socketPidfdFirst) outcome = socketPidfd(connectedSocket, pidfd);
    switch (outcome) {
        case SocketPidfdOutcome::obtained: break;
        case SocketPidfdOutcome::processGone: return unexpected(PeerProcessFailure::processGone);
        case SocketPidfdOutcome::failed: return unexpected(PeerProcessFailure::socketUnusable);
        case SocketPidfdOutcome::unsupported:
            // pidfd_open always sets close-on-exec on the new descriptor.
            pidfd.reset(openPidfd(credentials->pid));
            if (!pidfd) return unexpected(PeerProcessFailure::processGone);
            break;
    }
    // The pidfd must name the pid the kernel recorded at connect time; a
    // reaped process (-1) or one out of sight (0) cannot be examined.
    if (pidOfPidfd(pidfd) != credentials->pid) return unexpected(PeerProcessFailure::processGone);
    return PinnedPeer{*credentials, std::move(pidfd)};
}

Expected<UniqueFd, PeerProcessFailure> openPinnedExecutable(const PinnedPeer& peer) {
    const std::string path = "/proc/" + std::to_string(peer.credentials.pid) + "/exe";
    UniqueFd executable(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    // Whatever the open did, it proves something only if the pinned process
    // was still alive afterwards: only then was the pid still its own.
    if (pinnedProcessHasExited(peer.pidfd)) return unexpected(PeerProcessFailure::processGone);
    if (!executable) return unexpected(PeerProcessFailure::executableUnavailable);
    return executable;
}

}  // namespace smcd::platform
