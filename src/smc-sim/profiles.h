#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smcd::smcsim {

// The speed range one simulated fan reports in its Mn and Mx keys and the
// thermal manager keeps it within.
struct SimulatedFanProfile {
    double minRPM;
    double maxRPM;
};

// One machine the simulator can play.
struct Profile {
    std::string name;
    std::string description;
    std::string speedType;                  // type of the Ac/Mn/Mx/Tg keys
    std::vector<SimulatedFanProfile> fans;
    std::optional<std::string> modeSuffix;  // "Md", "md", or no per-fan mode key
    bool hasUnlockKey = false;              // "Ftst"
    // Mode writes are refused until "Ftst" has been 1 for the hold time.
    bool thermalManagerHoldsFans = false;
};

// Every profile; the first is the default.
const std::vector<Profile>& profiles();
const Profile* findProfile(std::string_view name);
const Profile& defaultProfile();

}  // namespace smcd::smcsim
