#pragma once

// The VornikFanControl protocol as the daemon implements it. Every method
// does its work synchronously and calls its reply exactly once; failures
// travel inside the reply.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ipc/connection.h"

namespace smcd {

using DataReply = std::function<void(std::string data)>;
using TextReply = std::function<void(std::string text)>;
using BoolReply = std::function<void(bool value)>;
using StatusReply = std::function<void(bool success, std::optional<std::string> message)>;
using CountReply = std::function<void(std::int64_t count, std::string message)>;
using Paths = std::vector<std::string>;

class VornikFanControl {
public:
    virtual ~VornikFanControl() = default;
    virtual void capabilitiesWithReply(DataReply reply) = 0;
    virtual void setFanWithIndex(std::int64_t index, bool manual, std::int64_t targetRPM, StatusReply reply) = 0;
    virtual void resetAllToAutoWithReply(StatusReply reply) = 0;
    virtual void pingWithReply(TextReply reply) = 0;
    virtual void runMaintenanceWithTaskIDs(Paths taskIDs, DataReply reply) = 0;
    virtual void dumpBackgroundItemsWithReply(TextReply reply) = 0;
    virtual void terminateForUpdateWithReply(BoolReply reply) = 0;
    virtual void removeAppBundlesWithPaths(Paths paths, bool permanent, DataReply reply) = 0;
    virtual void removeSupportPathsWithPaths(Paths paths, bool permanent, DataReply reply) = 0;
    virtual void setLaunchdItemWithLabel(std::string label, std::string plistPath, bool enable, StatusReply reply) = 0;
    virtual void measurePrivilegedPathsWithPaths(Paths paths, DataReply reply) = 0;
    virtual void deleteLocalSnapshotsWithOlderThanDays(std::int64_t days, std::string volume, CountReply reply) = 0;
    virtual void removeSystemCachePathsWithPaths(Paths paths, DataReply reply) = 0;
    virtual void removeSystemLogPathsWithPaths(Paths paths, DataReply reply) = 0;
    virtual void removeGPUShaderCachePathsWithPaths(Paths paths, DataReply reply) = 0;
    virtual void removeRosettaCachePathsWithPaths(Paths paths, DataReply reply) = 0;
    virtual void systemNetworkConnectionsWithReply(TextReply reply) = 0;
};

// The exported object a connection delivers decoded calls to: unpacks the
// arguments of each method and packs its reply.
std::shared_ptr<platform::ipc::ExportedObject> exportedObject(std::shared_ptr<VornikFanControl> service);

}  // namespace smcd
