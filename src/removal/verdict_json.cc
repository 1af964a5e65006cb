#include <nlohmann/json.hpp>

#include "removal/privileged_removal.h"

namespace smcd::PrivilegedRemoval {

void to_json(nlohmann::ordered_json& json, const Verdict& verdict) {
    json = nlohmann::ordered_json::object();
    json["allowed"] = verdict.allowed;
    json["refused"] = verdict.refused;
}

}  // namespace smcd::PrivilegedRemoval
