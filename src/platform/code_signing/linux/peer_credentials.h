#pragma once

#include <sys/types.h>

#include <optional>

namespace smcd::platform {

// Who connected: the kernel's record of the connecting process, taken when it
// called connect() and never changed afterwards. Identity is read from here
// once; it is never re-derived later from a pid, which may by then name
// another process.
struct PeerCredentials {
    pid_t pid;
    uid_t uid;  // effective uid at connect time
    gid_t gid;
};

// SO_PEERCRED of a connected AF_UNIX stream socket; nothing for any other
// kind of descriptor or when the kernel has no peer process on record.
std::optional<PeerCredentials> readPeerCredentials(int connectedSocket);

}  // namespace smcd::platform
