#pragma once

#include <string_view>

namespace smcd {

inline constexpr std::string_view vornikFanServiceName = "com.vornik.smcd";
inline constexpr std::string_view vornikFanDaemonVersion = "14";

// Only the signed companion app may talk to the daemon.
inline constexpr std::string_view peerRequirement =
    "identifier \"com.vornik.app\" and anchor apple generic and "
    "certificate leaf[subject.OU] = \"Q4ZK2M7WXR\" and "
    "info [CFBundleShortVersionString] >= \"1.0\"";
static_assert(peerRequirement.size() == 147);

}  // namespace smcd
