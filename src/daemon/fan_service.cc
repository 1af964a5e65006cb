#include "daemon/fan_service.h"

#include <algorithm>

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

// A record's text besides the element it names: keys, short values, commas.
constexpr std::size_t kRecordBesidesText = 80;
// A removal record while the flow runs (the record, its path and problem
// text) and then as text: its path twice, and this.
constexpr std::size_t kRemovalRecordBesidesPaths = sizeof(PrivilegedRemovalResult) + 2 * kRecordBesidesText + 64;

std::size_t textBytes(const Paths& request, std::size_t perElement, std::size_t textCopies) {
    std::size_t bytes = 2;
    for (const std::string& text : request) bytes += textCopies * text.size() + perElement;
    return bytes;
}

}  // namespace

std::optional<ReplyArray> FanService::recordsFor(const Paths& request, platform::ipc::MemoryHold& hold,
                                                 std::size_t perElement, std::size_t textCopies) {
    const std::size_t granted = textBytes(request, perElement, textCopies);
    if (const auto taken = hold.growTo(granted); !taken) {
        platform::ipc::logReplyRefused(peerUID_, taken.error(), replies_);
        return std::nullopt;
    }
    ReplyArray records(
        [this, &hold](std::size_t bytes) {
            const auto grown = hold.growTo(bytes);
            if (!grown) platform::ipc::logReplyRefused(peerUID_, grown.error(), replies_);
            return grown.has_value();
        },
        granted);
    records.reserve(std::min(granted, textBytes(request, kRecordBesidesText, 1)));
    return records;
}

// Replies once the request's own list is gone and its memory handed back,
// so that a large request never holds its list, its records' text and its
// reply frame at the same time.
void FanService::replyRecords(const DataReply& reply, ReplyArray records, Paths& request,
                              platform::ipc::MemoryHold& hold) {
    const bool large = request.size() * sizeof(std::string) >= platform::kReturnMemoryAfterBytes;
    Paths().swap(request);
    if (large) platform::returnFreedMemory();
    // Nobody to answer, or refused: left unanswered, the connection ends.
    if (connection_->ended() || records.refused()) return;
    std::string data = std::move(records).finish();
    hold.shrinkTo(0);
    reply(std::move(data));
}

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

// A request naming more tasks than any client needs is refused as a whole:
// answering each id would cost what running them is refused for, and an
// empty answer would read as success, so it is left unanswered and its
// connection ends.
void FanService::runMaintenanceWithTaskIDs(Paths taskIDs, DataReply reply) {
    // A few records at most: their text, tool output included, takes room as it grows.
    platform::ipc::MemoryHold hold(replies_, peerUID_);
    auto records = recordsFor({}, hold, 0);
    if (!records) return;
    const auto ran = runMaintenanceTasks(
        taskIDs, [&](const MaintenanceResult& result) { return records->append(result); }, stopToken());
    if (!ran) return;
    replyRecords(reply, std::move(*records), taskIDs, hold);
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
    platform::ipc::MemoryHold hold(replies_, peerUID_);
    auto records = recordsFor(paths, hold, kRecordBesidesText);
    if (!records) return;
    removal::measurePaths(
        paths, peerUID_, [&](const removal::Measurement& record) { return records->append(record); }, stopToken());
    replyRecords(reply, std::move(*records), paths, hold);
}

void FanService::removePaths(Paths& paths, removal::Target family, bool permanent, const DataReply& reply) {
    platform::ipc::MemoryHold hold(replies_, peerUID_);
    auto records = recordsFor(paths, hold, kRemovalRecordBesidesPaths, 2);
    if (!records) return;
    for (const auto& result : removal::removePaths(paths, family, permanent, peerUID_, stopToken()))
        if (!records->append(result)) break;
    replyRecords(reply, std::move(*records), paths, hold);
}

// The six removal methods differ only in the family and whether the client
// may choose the Trash.
void FanService::removeAppBundlesWithPaths(Paths paths, bool permanent, DataReply reply) {
    removePaths(paths, removal::Target::appBundle, permanent, reply);
}

void FanService::removeSupportPathsWithPaths(Paths paths, bool permanent, DataReply reply) {
    removePaths(paths, removal::Target::supportFile, permanent, reply);
}

void FanService::removeSystemCachePathsWithPaths(Paths paths, DataReply reply) {
    removePaths(paths, removal::Target::systemCache, true, reply);
}

void FanService::removeSystemLogPathsWithPaths(Paths paths, DataReply reply) {
    removePaths(paths, removal::Target::systemLogs, true, reply);
}

void FanService::removeGPUShaderCachePathsWithPaths(Paths paths, DataReply reply) {
    removePaths(paths, removal::Target::gpuShaderCaches, true, reply);
}

void FanService::removeRosettaCachePathsWithPaths(Paths paths, DataReply reply) {
    removePaths(paths, removal::Target::rosettaCaches, true, reply);
}

}  // namespace smcd
