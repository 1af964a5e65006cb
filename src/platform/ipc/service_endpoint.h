#pragma once

// Where a client reaches a service: the one name the daemon listens on and
// its clients connect to, derived from the service's name on both sides so
// that they cannot disagree. The Linux stand-in answers with its socket path
// ("/var/run/<service>.socket", linux/endpoint.cc); a macOS port with the
// Mach service name itself.

#include <string>
#include <string_view>

namespace smcd::platform::ipc {

std::string serviceEndpoint(std::string_view serviceName);

}  // namespace smcd::platform::ipc
