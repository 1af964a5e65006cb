#pragma once

// Reads a FanCapability back from reply JSON, for tests that check what the
// daemon sent. All five keys are required; a missing or mistyped one throws
// nlohmann::json::exception.

#include <nlohmann/json.hpp>

#include "fan/fan_capability.h"

namespace smcd {

template <class Json>
void from_json(const Json& json, FanCapability& capability) {
    capability.index = json.at("index").template get<std::int64_t>();
    capability.minRPM = json.at("minRPM").template get<std::int64_t>();
    capability.maxRPM = json.at("maxRPM").template get<std::int64_t>();
    capability.currentRPM = json.at("currentRPM").template get<std::int64_t>();
    capability.controllable = json.at("controllable").template get<bool>();
}

}  // namespace smcd
