#include "maintenance/maintenance_tasks.h"

#include <limits>

#include "maintenance/command_runners.h"
#include "common/limits.h"
#include "platform/log/daemon_log.h"
#include "platform/log/refusal_report.h"

namespace smcd {

using platform::LogLevel;

const MaintenanceCommandTable& vornikAdminMaintenanceCommands() {
    static const MaintenanceCommandTable table{
        {"dns", "dscacheutil -flushcache; killall -HUP mDNSResponder"},
        {"spotlight", "mdutil -i on /; mdutil -E /"},
        {"energy.0", "pmset -a powermode 0"},
        {"energy.1", "pmset -a powermode 1"},
        {"energy.2", "pmset -a powermode 2"},
    };
    return table;
}

void to_json(nlohmann::ordered_json& json, const MaintenanceResult& result) {
    json = nlohmann::ordered_json::object();
    json["id"] = result.id;
    json["ok"] = result.ok;
    json["exit"] = result.exit;
    json["output"] = result.output;
}

namespace {

// get<int32_t> would wrap an out-of-range status silently, and so would a
// signed read of a huge unsigned number; both are range-checked first.
template <class Json>
std::int32_t decodeExitStatus(const Json& json) {
    const Json& value = json.at("exit");
    if (!value.is_number_integer()) {
        throw Json::type_error::create(302, "exit status is not an integer", &value);
    }
    constexpr std::int64_t kLowest = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kHighest = std::numeric_limits<std::int32_t>::max();
    const bool fits = value.is_number_unsigned() ? value.template get<std::uint64_t>() <= std::uint64_t{kHighest}
                                                 : value.template get<std::int64_t>() >= kLowest &&
                                                       value.template get<std::int64_t>() <= kHighest;
    if (!fits) throw Json::out_of_range::create(406, "exit status does not fit 32 bits", &value);
    return static_cast<std::int32_t>(value.template get<std::int64_t>());
}

template <class Json>
void decode(const Json& json, MaintenanceResult& result) {
    MaintenanceResult decoded;
    decoded.id = json.at("id").template get<std::string>();
    decoded.ok = json.at("ok").template get<bool>();
    decoded.exit = decodeExitStatus(json);
    decoded.output = json.at("output").template get<std::string>();
    result = std::move(decoded);
}

}  // namespace

void from_json(const nlohmann::ordered_json& json, MaintenanceResult& result) { decode(json, result); }
void from_json(const nlohmann::json& json, MaintenanceResult& result) { decode(json, result); }

MaintenanceResult runMaintenanceTask(std::string_view id) {
    const auto& table = vornikAdminMaintenanceCommands();
    const auto found = table.find(id);
    if (found == table.end()) {
        SMCD_LOG(daemonLog(), LogLevel::error, "maintenance rejected: unknown task id '%{private}s'", id);
        return MaintenanceResult{std::string(id), false, kLaunchFailedStatus,
                                 std::string(kUnknownMaintenanceTaskMessage)};
    }
    RunResult run = runShell(found->second);
    if (run.status != 0) {
        SMCD_LOG(daemonLog(), LogLevel::error, "maintenance '%{public}s' failed (exit %{public}d)", found->first,
                 run.status);
        return MaintenanceResult{std::string(id), false, run.status, std::move(run.output)};
    }
    SMCD_LOG(daemonLog(), LogLevel::notice, "maintenance '%{public}s' ok", found->first);
    return MaintenanceResult{std::string(id), true, 0, std::move(run.output)};
}

Expected<void, MaintenanceRefusal> runMaintenanceTasks(const std::vector<std::string>& ids,
                                                       const std::function<bool(MaintenanceResult)>& each,
                                                       std::stop_token stop) {
    if (ids.size() > limits::kMaxMaintenanceTasksPerRequest) {
        static platform::RefusalReport refusals("maintenance requests refused for naming too many tasks");
        SMCD_LOG_REFUSAL(refusals,
                         "maintenance request of %{public}zu task ids refused: at most %{public}zu may be named; "
                         "nothing run (%{public}zu more since the last such line)",
                         ids.size(), limits::kMaxMaintenanceTasksPerRequest);
        return unexpected(MaintenanceRefusal::tooManyTasks);
    }
    for (const std::string& id : ids) {
        if (stop.stop_requested()) return {};
        if (!each(runMaintenanceTask(id))) return {};
    }
    return {};
}

std::vector<MaintenanceResult> runMaintenanceTasks(const std::vector<std::string>& ids) {
    std::vector<MaintenanceResult> results;
    (void)runMaintenanceTasks(ids, [&results](MaintenanceResult result) {
        results.push_back(std::move(result));
        return true;
    });
    return results;
}

}  // namespace smcd
