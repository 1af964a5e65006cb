#pragma once

// Reading the daemon's removal and measurement records back from a reply.
// Only tests decode them; the daemon only writes them.

#include <nlohmann/json.hpp>

#include "removal/measurement.h"
#include "removal/removal_flow.h"

namespace smcd {

// "path" and "removed" required; "problem" only when present and not null.
inline void from_json(const nlohmann::json& json, PrivilegedRemovalResult& result) {
    json.at("path").get_to(result.path);
    json.at("removed").get_to(result.removed);
    result.problem.reset();
    if (const auto found = json.find("problem"); found != json.end() && !found->is_null()) {
        result.problem = found->get<std::string>();
    }
}

namespace PrivilegedRemoval {

// All four keys required; any other ignored.
inline void from_json(const nlohmann::json& json, Measurement& measurement) {
    json.at("path").get_to(measurement.path);
    json.at("bytes").get_to(measurement.bytes);
    json.at("fileCount").get_to(measurement.fileCount);
    json.at("refused").get_to(measurement.refused);
}

}  // namespace PrivilegedRemoval
}  // namespace smcd
