#pragma once

// The fixed maintenance jobs a client may run by id. Command lines live only
// here; a request names ids, never commands.

#include <cstdint>
#include <functional>
#include <map>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/expected.h"

namespace smcd {

// Task id -> shell command line, matched exactly and case-sensitively.
using MaintenanceCommandTable = std::map<std::string, std::string, std::less<>>;
const MaintenanceCommandTable& vornikAdminMaintenanceCommands();

inline constexpr std::string_view kUnknownMaintenanceTaskMessage = "Unknown maintenance task";

struct MaintenanceResult {
    std::string id;  // exactly as the client sent it
    bool ok = false;
    std::int32_t exit = 0;
    std::string output;
    bool operator==(const MaintenanceResult&) const = default;
};

// Keys in the order id, ok, exit, output. Decoding needs all four with their
// types and an exit status that fits 32 bits; it throws nlohmann::json
// exceptions otherwise.
void to_json(nlohmann::ordered_json& json, const MaintenanceResult& result);
void from_json(const nlohmann::ordered_json& json, MaintenanceResult& result);
void from_json(const nlohmann::json& json, MaintenanceResult& result);

// Runs one task through the shell runner and logs its outcome; an unknown id
// starts nothing.
MaintenanceResult runMaintenanceTask(std::string_view id);

enum class MaintenanceRefusal { tooManyTasks };

// One result per id, in request order, each handed to `each` as soon as its
// task has finished; repeated ids run again, each task finishing before the
// next starts. Once `stop` is requested, or `each` answers false (the reply
// cannot take the result), no further task starts (one running is waited
// for). A request of more than limits::kMaxMaintenanceTasksPerRequest
// ids is refused as a whole, nothing run, with one line through the refusal
// throttle.
Expected<void, MaintenanceRefusal> runMaintenanceTasks(const std::vector<std::string>& ids,
                                                       const std::function<bool(MaintenanceResult)>& each,
                                                       std::stop_token stop = {});
// The results as a list; none for a refused request.
std::vector<MaintenanceResult> runMaintenanceTasks(const std::vector<std::string>& ids);

}  // namespace smcd
