#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace smcd::PrivilegedLaunchd {

inline constexpr std::string_view kRefusedToggleMessage = "That background item is not one Vornik's helper may change.";

struct ToggleResult {
    bool success;
    std::optional<std::string> message;  // absent on success
    bool operator==(const ToggleResult&) const = default;
};

// Screens the request with the peer as owner, then runs launchctl twice:
// enable + bootstrap, or bootout + disable. Both runs always happen; the
// message names the first that failed. A refusal runs nothing.
ToggleResult setLaunchdItem(std::string_view label, std::string_view plistPath, bool enable, uid_t peerUID);

}  // namespace smcd::PrivilegedLaunchd
