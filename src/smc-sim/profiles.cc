#include "smc-sim/profiles.h"

#include "smc-sim/value_codec.h"

namespace smcd::smcsim {

const std::vector<Profile>& profiles() {
    static const std::vector<Profile> list = {
        {"apple-silicon-laptop",
         "Apple-silicon laptop, two flt fans, F<n>Md mode keys, mode writes held by the thermal manager until Ftst",
         std::string(kTypeFloat), {{1499, 5348}, {1499, 5776}}, "Md", true, true},
        {"apple-silicon-newer",
         "newer Apple-silicon laptop, two flt fans, lower-case F<n>md mode keys, no Ftst, mode writes accepted at once",
         std::string(kTypeFloat), {{1300, 5600}, {1300, 6100}}, "md", false, false},
        {"intel-laptop", "Intel laptop, two fpe2 fans, no per-fan mode key (not controllable)",
         std::string(kTypeFixedPoint2), {{2000, 6200}, {2000, 6200}}, std::nullopt, false, false},
        {"desktop", "desktop with one flt fan, F0Md mode key, no Ftst, mode writes accepted at once",
         std::string(kTypeFloat), {{1100, 3700}}, "Md", false, false},
        {"fanless-laptop", "fanless laptop: FNum 0, no fan keys, an Ftst key", std::string(kTypeFloat), {}, std::nullopt,
         true, false},
    };
    return list;
}

const Profile* findProfile(std::string_view name) {
    for (const auto& profile : profiles()) {
        if (profile.name == name) return &profile;
    }
    return nullptr;
}

const Profile& defaultProfile() { return profiles().front(); }

}  // namespace smcd::smcsim
