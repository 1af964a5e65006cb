#include "daemon/fan_service.h"

#include "daemon/constants.h"
#include "daemon/process_exit.h"
#include "daemon/reply_json.h"
#include "launchd/launchd_toggle.h"
#include "maintenance/inspection_requests.h"
#include "maintenance/maintenance_tasks.h"
#include "platform/memory/return_freed_memory.h"
#include "removal/measurement.h"
#include "removal/removal_flow.h"

namespace smcd {
namespace {

// An operation's outcome at the boundary: (true, nil), or (false, why).
void replyStatus(const StatusReply& reply, Expected<void, std::string> outcome) {
    if (!outcome) return reply(false, std::move(outcome).error());
    reply(true, std::nullopt);
}

// Replies with the records once the request's own list is gone and its
// memory handed back, so that a large request never holds its list, its
// records' text and its reply frame at the same time.
void replyRecords(const DataReply& reply, ReplyArray records, Paths& request) {
    const bool large = request.size() * sizeof(std::string) >= platform::kReturnMemoryAfterBytes;
    Paths().swap(request);
    if (large) platform::returnFreedMemory();
    reply(std::move(records).finish());
}

// Room for one record per element of a request: its text and the rest of a
// record with short values.
ReplyArray recordsFor(const Paths& request) {
    constexpr std::size_t kRecordBesidesText = 80;
    std::size_t bytes = 2;
    for (const std::string& text : request) bytes += text.size() + kRecordBesidesText;
    ReplyArray records;
    records.reserve(bytes);
    return records;
}

}  // namespace

void FanService::capabilitiesWithReply(DataReply reply) {
    auto capabilities = withCoreWhileConnected([](SMCFanCore& core) { return core.capabilities(); });
    reply(replyJSON(capabilities ? std::move(capabilities).value() : std::vector<FanCapability>{}));
}

void FanService::setFanWithIndex(std::int64_t index, bool manual, std::int64_t targetRPM, StatusReply reply) {
    replyStatus(reply, withCoreWhileConnected(
                           [&](SMCFanCore& core) { return engine_->setFan(core, index, manual, targetRPM); }));
}

void FanService::resetAllToAutoWithReply(StatusReply reply) {
    replyStatus(reply, withCoreWhileConnected([](SMCFanCore& core) { return core.resetAllToAuto(); }));
}

void FanService::pingWithReply(TextReply reply) { reply(std::string(product_facts::kDaemonVersion)); }

void FanService::terminateForUpdateWithReply(BoolReply reply) {
    engine_->handBackForExit("exit for update");
    reply(true);
    exitSoon();
}

void FanService::runMaintenanceWithTaskIDs(Paths taskIDs, DataReply reply) {
    ReplyArray records = recordsFor(taskIDs);
    runMaintenanceTasks(taskIDs, [&records](const MaintenanceResult& result) { records.append(result); });
    replyRecords(reply, std::move(records), taskIDs);
}

void FanService::dumpBackgroundItemsWithReply(TextReply reply) { reply(dumpBackgroundItems()); }

void FanService::systemNetworkConnectionsWithReply(TextReply reply) { reply(systemNetworkConnections()); }

void FanService::deleteLocalSnapshotsWithOlderThanDays(std::int64_t days, std::string volume, CountReply reply) {
    SnapshotRefusal refusal = deleteLocalSnapshots(days, volume);
    reply(refusal.count, std::move(refusal.message));
}

void FanService::setLaunchdItemWithLabel(std::string label, std::string plistPath, bool enable, StatusReply reply) {
    replyStatus(reply, launchd::setLaunchdItem(label, plistPath, enable, peerUID_));
}

void FanService::measurePrivilegedPathsWithPaths(Paths paths, DataReply reply) {
    ReplyArray records = recordsFor(paths);
    removal::measurePaths(paths, peerUID_, [&records](const removal::Measurement& record) {
        records.append(record);
    });
    replyRecords(reply, std::move(records), paths);
}

// The six removal methods differ only in the family and whether the client
// may choose the Trash.
void FanService::removeAppBundlesWithPaths(Paths paths, bool permanent, DataReply reply) {
    reply(replyJSON(removal::removePaths(paths, removal::Target::appBundle, permanent, peerUID_)));
}

void FanService::removeSupportPathsWithPaths(Paths paths, bool permanent, DataReply reply) {
    reply(replyJSON(removal::removePaths(paths, removal::Target::supportFile, permanent, peerUID_)));
}

void FanService::removeSystemCachePathsWithPaths(Paths paths, DataReply reply) {
    reply(replyJSON(removal::removePaths(paths, removal::Target::systemCache, true, peerUID_)));
}

void FanService::removeSystemLogPathsWithPaths(Paths paths, DataReply reply) {
    reply(replyJSON(removal::removePaths(paths, removal::Target::systemLogs, true, peerUID_)));
}

void FanService::removeGPUShaderCachePathsWithPaths(Paths paths, DataReply reply) {
    reply(replyJSON(removal::removePaths(paths, removal::Target::gpuShaderCaches, true, peerUID_)));
}

void FanService::removeRosettaCachePathsWithPaths(Paths paths, DataReply reply) {
    reply(replyJSON(removal::removePaths(paths, removal::Target::rosettaCaches, true, peerUID_)));
}

}  // namespace smcd
