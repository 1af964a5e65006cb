#pragma once

#include <sys/types.h>

#include <string_view>

#include "launchd/launchd_outcome.h"

namespace smcd::launchd {

// Decides whether the job may be changed and in which domain: a daemon in
// /Library/LaunchDaemons in the system domain, an agent in
// /Library/LaunchAgents in the requesting user's session. The first failing
// check names the refusal. Reads the file system; changes and logs nothing.
Outcome resolve(std::string_view plistPath, std::string_view label, uid_t owner);

}  // namespace smcd::launchd
