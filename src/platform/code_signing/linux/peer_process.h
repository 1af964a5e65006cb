#pragma once

#include "common/expected.h"
#include "common/unique_fd.h"
#include "platform/code_signing/linux/peer_credentials.h"

namespace smcd::platform {

// How the peer's process is pinned. The socket's own pidfd (SO_PEERPIDFD,
// Linux 6.5 and later) names exactly the process that connected, even if its
// pid has since been reused. The fallback opens a pidfd from the pid in
// SO_PEERCRED and so cannot rule out a pid recycled between connect and now;
// it is used only when the kernel does not know SO_PEERPIDFD.
enum class PeerPinStrategy { socketPidfdFirst, pidOnly };

enum class PeerProcessFailure {
    socketUnusable,         // not a connected AF_UNIX stream socket with a peer on record
    processGone,            // the connecting process has exited (or cannot be told apart from a successor)
    executableUnavailable,  // the process lives but its executable cannot be opened
};

struct PinnedPeer {
    PeerCredentials credentials;
    UniqueFd pidfd;
};

Expected<PinnedPeer, PeerProcessFailure> pinPeerProcess(int connectedSocket,
                                                        PeerPinStrategy strategy = PeerPinStrategy::socketPidfdFirst);

// Opens the pinned process's executable through /proc and only then confirms
// through the pidfd that the process is still alive: a live process still owns
// its pid, so the /proc entry that was opened was that process's own.
Expected<UniqueFd, PeerProcessFailure> openPinnedExecutable(const PinnedPeer& peer);

// True once the process behind the pidfd has exited, and whenever that cannot
// be determined.
bool pinnedProcessHasExited(const UniqueFd& pidfd);

}  // namespace smcd::platform
