#pragma once

// Where the listener's socket comes from: the socket the service manager
// holds for the daemon (systemd-style activation, the way launchd holds the
// Mach service), or a socket the daemon binds itself at the service's
// compiled-in path.

#include <string>
#include <string_view>

#include "common/expected.h"
#include "common/unique_fd.h"
#include "platform/ipc/service_endpoint.h"

namespace smcd::platform::ipc {

enum class EndpointError {
    activationInvalid,   // LISTEN_FDS names something that is not one listening Unix stream socket
    socketFailed,
    bindFailed,
    pathOccupied,        // something other than a socket (a link, a file) sits at the path
    alreadyServed,       // a running daemon answers at the path
};

struct EndpointFailure {
    EndpointError error;
    int errnoValue = 0;
};

std::string_view describe(EndpointError error);

// The activated socket when LISTEN_PID/LISTEN_FDS hand one over (the
// variables are then removed from the environment), otherwise a new socket
// bound at `path` with mode 0666: peers are kept out by the code-signing gate,
// not by file permissions, as with a Mach service. Binding never follows a
// link at the path, removes nothing but a stale socket that nobody answers
// on, and publishes the path only once the socket has its final mode.
Expected<UniqueFd, EndpointFailure> openListeningEndpoint(const std::string& path);

}  // namespace smcd::platform::ipc
