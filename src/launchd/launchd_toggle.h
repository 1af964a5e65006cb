#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/expected.h"

namespace smcd::launchd {

inline constexpr std::string_view kRefusedToggleMessage = "That background item is not one Vornik's helper may change.";

// Screens the request with the peer as owner, then runs launchctl twice:
// enable + bootstrap, or bootout + disable. Both runs always happen; the
// failure names the first that failed. A refusal runs nothing.
Expected<void, std::string> setLaunchdItem(std::string_view label, std::string_view plistPath, bool enable, uid_t peerUID);

}  // namespace smcd::launchd
