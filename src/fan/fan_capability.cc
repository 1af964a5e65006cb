#include "fan/fan_capability.h"

namespace smcd {

void to_json(nlohmann::ordered_json& json, const FanCapability& capability) {
    json = nlohmann::ordered_json{{"index", capability.index},
                                  {"minRPM", capability.minRPM},
                                  {"maxRPM", capability.maxRPM},
                                  {"currentRPM", capability.currentRPM},
                                  {"controllable", capability.controllable}};
}

}  // namespace smcd
