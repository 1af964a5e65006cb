#pragma once

// The seventeen methods of the VornikFanControl protocol, with their argument
// and reply types, in declaration order. Shared by the daemon, which exports
// them, and by every client, which calls them.

#include "platform/ipc/wire.h"

namespace smcd {

const platform::ipc::Interface& vornikFanControlInterface();

}  // namespace smcd
