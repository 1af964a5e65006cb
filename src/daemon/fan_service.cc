#include "daemon/fan_service.h"

#include "daemon/constants.h"
#include "daemon/process_exit.h"
#include "daemon/reply_json.h"
#include "daemon/service_delegate.h"
#include "launchd/launchd_toggle.h"
#include "maintenance/inspection_requests.h"
#include "maintenance/maintenance_tasks.h"

namespace smcd {
namespace {

constexpr std::string_view kSMCUnavailable = "SMC unavailable";

}  // namespace

void FanService::capabilitiesWithReply(DataReply reply) {
    std::vector<FanCapability> capabilities;
    {
        std::lock_guard guard(engine_->lock);
        if (engine_->core) capabilities = engine_->core->capabilities();
    }
    reply(replyJSON(capabilities));
}

void FanService::setFanWithIndex(std::int64_t index, bool manual, std::int64_t targetRPM, StatusReply reply) {
    FanResult result{false, std::string(kSMCUnavailable)};
    {
        std::lock_guard guard(engine_->lock);
        if (engine_->core) result = engine_->core->setFan(index, manual, targetRPM);
    }
    reply(result.success, std::move(result.message));
}

void FanService::resetAllToAutoWithReply(StatusReply reply) {
    FanResult result{false, std::string(kSMCUnavailable)};
    {
        std::lock_guard guard(engine_->lock);
        if (engine_->core) result = engine_->core->resetAllToAuto();
    }
    reply(result.success, std::move(result.message));
}

void FanService::pingWithReply(TextReply reply) { reply(std::string(vornikFanDaemonVersion)); }

void FanService::terminateForUpdateWithReply(BoolReply reply) {
    handBackFans(*engine_);
    reply(true);
    exitSoon();
}

void FanService::runMaintenanceWithTaskIDs(Paths taskIDs, DataReply reply) {
    reply(replyJSON(runMaintenanceTasks(taskIDs)));
}

void FanService::dumpBackgroundItemsWithReply(TextReply reply) { reply(dumpBackgroundItems()); }

void FanService::systemNetworkConnectionsWithReply(TextReply reply) { reply(systemNetworkConnections()); }

void FanService::deleteLocalSnapshotsWithOlderThanDays(std::int64_t days, std::string volume, CountReply reply) {
    SnapshotRefusal refusal = deleteLocalSnapshots(days, volume);
    reply(refusal.count, std::move(refusal.message));
}

void FanService::setLaunchdItemWithLabel(std::string label, std::string plistPath, bool enable, StatusReply reply) {
    PrivilegedLaunchd::ToggleResult result = PrivilegedLaunchd::setLaunchdItem(label, plistPath, enable, peerUID_);
    reply(result.success, std::move(result.message));
}

// Requests whose subsystems are wired in later return without replying; the
// connection treats an unanswered call like an unknown one and invalidates.
void FanService::removeAppBundlesWithPaths(Paths, bool, DataReply) {}
void FanService::removeSupportPathsWithPaths(Paths, bool, DataReply) {}
void FanService::measurePrivilegedPathsWithPaths(Paths, DataReply) {}
void FanService::removeSystemCachePathsWithPaths(Paths, DataReply) {}
void FanService::removeSystemLogPathsWithPaths(Paths, DataReply) {}
void FanService::removeGPUShaderCachePathsWithPaths(Paths, DataReply) {}
void FanService::removeRosettaCachePathsWithPaths(Paths, DataReply) {}

}  // namespace smcd
