#pragma once

// The seventeen methods of the VornikFanControl protocol, once, in the order
// the control interface publishes them. The wire names a method by its
// selector; the order numbers the `Method` enum and the dispatch table, and
// the pins in vornik_fan_control_protocol.h stop the build when a row moves.
//
// X(name, service method, selector, reply, argument types...)
//   name            the method in the Method enum and in the client library
//   service method  the member of VornikFanControl that serves it
//   reply           what the reply block receives (reply kinds in reply_kinds.h)
#define SMCD_VORNIK_FAN_CONTROL_METHODS(X)                                                                                                     \
    X(capabilities,             capabilitiesWithReply,                 "capabilitiesWithReply:",                             DataReply)                                   \
    X(setFan,                   setFanWithIndex,                       "setFanWithIndex:manual:targetRPM:reply:",            StatusReply, std::int64_t, bool, std::int64_t) \
    X(resetAllToAuto,           resetAllToAutoWithReply,               "resetAllToAutoWithReply:",                           StatusReply)                                 \
    X(ping,                     pingWithReply,                         "pingWithReply:",                                     TextReply)                                   \
    X(runMaintenance,           runMaintenanceWithTaskIDs,             "runMaintenanceWithTaskIDs:reply:",                   DataReply,   Paths)                          \
    X(dumpBackgroundItems,      dumpBackgroundItemsWithReply,          "dumpBackgroundItemsWithReply:",                      TextReply)                                   \
    X(terminateForUpdate,       terminateForUpdateWithReply,           "terminateForUpdateWithReply:",                       BoolReply)                                   \
    X(removeAppBundles,         removeAppBundlesWithPaths,             "removeAppBundlesWithPaths:permanent:reply:",         DataReply,   Paths, bool)                    \
    X(removeSupportPaths,       removeSupportPathsWithPaths,           "removeSupportPathsWithPaths:permanent:reply:",       DataReply,   Paths, bool)                    \
    X(setLaunchdItem,           setLaunchdItemWithLabel,               "setLaunchdItemWithLabel:plistPath:enable:reply:",    StatusReply, std::string, std::string, bool) \
    X(measurePrivilegedPaths,   measurePrivilegedPathsWithPaths,       "measurePrivilegedPathsWithPaths:reply:",             DataReply,   Paths)                          \
    X(deleteLocalSnapshots,     deleteLocalSnapshotsWithOlderThanDays, "deleteLocalSnapshotsWithOlderThanDays:volume:reply:", CountReply,  std::int64_t, std::string)      \
    X(removeSystemCachePaths,   removeSystemCachePathsWithPaths,       "removeSystemCachePathsWithPaths:reply:",             DataReply,   Paths)                          \
    X(removeSystemLogPaths,     removeSystemLogPathsWithPaths,         "removeSystemLogPathsWithPaths:reply:",               DataReply,   Paths)                          \
    X(removeGPUShaderCachePaths, removeGPUShaderCachePathsWithPaths,   "removeGPUShaderCachePathsWithPaths:reply:",          DataReply,   Paths)                          \
    X(removeRosettaCachePaths,  removeRosettaCachePathsWithPaths,      "removeRosettaCachePathsWithPaths:reply:",            DataReply,   Paths)                          \
    X(systemNetworkConnections, systemNetworkConnectionsWithReply,     "systemNetworkConnectionsWithReply:",                 TextReply)
