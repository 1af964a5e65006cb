#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace smcd {

struct FanCapability {
    std::int64_t index = 0;
    std::int64_t minRPM = 0;
    std::int64_t maxRPM = 0;
    std::int64_t currentRPM = 0;
    bool controllable = false;

    bool operator==(const FanCapability&) const = default;
};

void to_json(nlohmann::ordered_json& json, const FanCapability& capability);

}  // namespace smcd
