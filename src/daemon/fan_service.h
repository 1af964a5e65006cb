#pragma once

// The object exported on every connection: holds the shared fan engine and
// the peer's effective uid, and hands each request to the subsystem that
// does its work.

#include <sys/types.h>

#include <memory>

#include "daemon/vornik_fan_control.h"
#include "fan/fan_engine.h"

namespace smcd {

class FanService final : public VornikFanControl {
public:
    FanService(std::shared_ptr<FanEngine> engine, std::uint32_t peerUID)
        : engine_(std::move(engine)), peerUID_(peerUID) {}

    void capabilitiesWithReply(DataReply reply) override;
    void setFanWithIndex(std::int64_t index, bool manual, std::int64_t targetRPM, StatusReply reply) override;
    void resetAllToAutoWithReply(StatusReply reply) override;
    void pingWithReply(TextReply reply) override;
    void runMaintenanceWithTaskIDs(Paths taskIDs, DataReply reply) override;
    void dumpBackgroundItemsWithReply(TextReply reply) override;
    void terminateForUpdateWithReply(BoolReply reply) override;
    void removeAppBundlesWithPaths(Paths paths, bool permanent, DataReply reply) override;
    void removeSupportPathsWithPaths(Paths paths, bool permanent, DataReply reply) override;
    void setLaunchdItemWithLabel(std::string label, std::string plistPath, bool enable, StatusReply reply) override;
    void measurePrivilegedPathsWithPaths(Paths paths, DataReply reply) override;
    void deleteLocalSnapshotsWithOlderThanDays(std::int64_t days, std::string volume, CountReply reply) override;
    void removeSystemCachePathsWithPaths(Paths paths, DataReply reply) override;
    void removeSystemLogPathsWithPaths(Paths paths, DataReply reply) override;
    void removeGPUShaderCachePathsWithPaths(Paths paths, DataReply reply) override;
    void removeRosettaCachePathsWithPaths(Paths paths, DataReply reply) override;
    void systemNetworkConnectionsWithReply(TextReply reply) override;

    std::uint32_t peerUID() const { return peerUID_; }

private:
    std::shared_ptr<FanEngine> engine_;
    const std::uint32_t peerUID_;
};

}  // namespace smcd
