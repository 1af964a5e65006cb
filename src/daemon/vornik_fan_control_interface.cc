#include "daemon/vornik_fan_control_interface.h"

namespace smcd {

const platform::ipc::Interface& vornikFanControlInterface() {
    using enum platform::ipc::WireType;
    static const platform::ipc::Interface interface({
        {"capabilitiesWithReply:", {}, {data}},
        {"setFanWithIndex:manual:targetRPM:reply:", {int64, boolean, int64}, {boolean, optionalText}},
        {"resetAllToAutoWithReply:", {}, {boolean, optionalText}},
        {"pingWithReply:", {}, {text}},
        {"runMaintenanceWithTaskIDs:reply:", {textArray}, {data}},
        {"dumpBackgroundItemsWithReply:", {}, {text}},
        {"terminateForUpdateWithReply:", {}, {boolean}},
        {"removeAppBundlesWithPaths:permanent:reply:", {textArray, boolean}, {data}},
        {"removeSupportPathsWithPaths:permanent:reply:", {textArray, boolean}, {data}},
        {"setLaunchdItemWithLabel:plistPath:enable:reply:", {text, text, boolean}, {boolean, optionalText}},
        {"measurePrivilegedPathsWithPaths:reply:", {textArray}, {data}},
        {"deleteLocalSnapshotsWithOlderThanDays:volume:reply:", {int64, text}, {int64, text}},
        {"removeSystemCachePathsWithPaths:reply:", {textArray}, {data}},
        {"removeSystemLogPathsWithPaths:reply:", {textArray}, {data}},
        {"removeGPUShaderCachePathsWithPaths:reply:", {textArray}, {data}},
        {"removeRosettaCachePathsWithPaths:reply:", {textArray}, {data}},
        {"systemNetworkConnectionsWithReply:", {}, {text}},
    });
    return interface;
}

}  // namespace smcd
