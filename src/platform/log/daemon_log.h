#pragma once

#include "platform/log/logger.h"

namespace smcd {

// The process's one logger: subsystem "com.brackenmill.vornik", category "daemon".
const platform::Logger& daemonLog();

}  // namespace smcd
