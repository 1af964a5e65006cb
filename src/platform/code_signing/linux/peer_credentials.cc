#include "platform/code_signing/linux/peer_credentials.h"

#include <sys/socket.h>

namespace smcd::platform {
namespace {

bool isUnixStreamSocket(int fd) {
    int domain = 0;
    int type = 0;
    socklen_t length = sizeof(domain);
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || length != sizeof(domain)) return false;
    length = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || length != sizeof(type)) return false;
    return domain == AF_UNIX && type == SOCK_STREAM;
}

}  // namespace

std::optional<PeerCredentials> readPeerCredentials(int connectedSocket) {
    if (!isUnixStreamSocket(connectedSocket)) return std::nullopt;
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(connectedSocket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof(credentials)) {
        return std::nullopt;
    }
    // An unconnected socket reports pid 0 and the overflow ids.
    if (credentials.pid <= 0) return std::nullopt;
    return PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
}

}  // namespace smcd::platform
