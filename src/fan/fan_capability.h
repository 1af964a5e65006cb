#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// The answer of a fan operation: the message is present only on failure.
struct FanResult {
    bool success = false;
    std::optional<std::string> message;

    static FanResult succeeded() { return {true, std::nullopt}; }
    static FanResult failed(std::string message) { return {false, std::move(message)}; }
    bool operator==(const FanResult&) const = default;
};

}  // namespace smcd
