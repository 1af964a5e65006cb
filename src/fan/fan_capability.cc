#include "fan/fan_capability.h"

namespace smcd {
namespace {

template <class Json>
void readCapability(const Json& json, FanCapability& capability) {
    capability.index = json.at("index").template get<std::int64_t>();
    capability.minRPM = json.at("minRPM").template get<std::int64_t>();
    capability.maxRPM = json.at("maxRPM").template get<std::int64_t>();
    capability.currentRPM = json.at("currentRPM").template get<std::int64_t>();
    capability.controllable = json.at("controllable").template get<bool>();
}

}  // namespace

void to_json(nlohmann::ordered_json& json, const FanCapability& capability) {
    json = nlohmann::ordered_json{{"index", capability.index},
                                  {"minRPM", capability.minRPM},
                                  {"maxRPM", capability.maxRPM},
                                  {"currentRPM", capability.currentRPM},
                                  {"controllable", capability.controllable}};
}

void from_json(const nlohmann::ordered_json& json, FanCapability& capability) { readCapability(json, capability); }

void from_json(const nlohmann::json& json, FanCapability& capability) { readCapability(json, capability); }

}  // namespace smcd
