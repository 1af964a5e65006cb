// Every simulated machine through the daemon: what smcctl capabilities shows,
// manual and automatic mode, and the Ftst unlock in real time, checked on
// the simulator's own keys. The unlock's time-out is proved on a hand-driven
// clock in the fan engine's suite.

#include <gtest/gtest.h>

#include "simulated_mac.h"

namespace smcd::test {
namespace {

using FanProfiles = SandboxTest;

TEST_F(FanProfiles, EachMachineShowsItsFansAndTakesManualThenAutomaticMode) {
    struct Case {
        const char* profile;
        const char* modeKey;  // nullptr: no fan can be controlled
        std::int64_t fan, target, written;  // written after clamping
        bool ftst;
    };
    const Case cases[] = {
        {"apple-silicon-laptop", "F1Md", 1, 4000, 4000, true}, {"apple-silicon-newer", "F0md", 0, 9000, 5600, false},
        {"desktop", "F0Md", 0, 500, 1100, false},             {"intel-laptop", nullptr, 0, 3000, 0, false},
        {"fanless-laptop", nullptr, 0, 3000, 0, true},
    };
    for (const auto& c : cases) {
        SimulatedMac mac(c.profile, {"--hold", "0.2"});
        const auto shown = smcctl(*mac.daemon, {"--json", "capabilities"});
        ASSERT_EQ(shown.status, 0) << c.profile << shown.err;
        const auto fans = nlohmann::json::parse(shown.out);
        ASSERT_EQ(static_cast<std::int64_t>(fans.size()), mac.value("FNum")) << c.profile;
        EXPECT_EQ(fans.empty(), shown.out == "[]\n") << c.profile;
        for (std::size_t i = 0; i < fans.size(); ++i) {
            const std::string fan = "F" + std::to_string(i);
            const auto number = [&](const char* key) { return fans[i].at(key).get<std::int64_t>(); };
            EXPECT_EQ(number("index"), static_cast<std::int64_t>(i));
            EXPECT_EQ(number("minRPM"), mac.value(fan + "Mn")) << c.profile;
            EXPECT_EQ(number("maxRPM"), mac.value(fan + "Mx")) << c.profile;
            EXPECT_GE(number("currentRPM"), number("minRPM")) << c.profile;
            EXPECT_LE(number("currentRPM"), number("maxRPM")) << c.profile;
            EXPECT_EQ(fans[i].at("controllable").get<bool>(), c.modeKey != nullptr) << c.profile;
        }

        auto client = mac.connect();
        const auto targetKey = "F" + std::to_string(c.fan) + "Tg";
        for (const bool manual : {true, false}) {
            const auto reply = answered(client.setFan(c.fan, manual, c.target));
            EXPECT_EQ(reply.success, c.modeKey != nullptr) << c.profile;
            if (!c.modeKey) {
                EXPECT_EQ(reply.message, "Fan 0 isn't controllable on this Mac") << c.profile;
                continue;
            }
            EXPECT_EQ(reply.message, std::nullopt) << c.profile;
            EXPECT_EQ(mac.value(c.modeKey), manual ? 1 : 0) << c.profile;
            EXPECT_EQ(mac.value(targetKey), manual ? c.written : 0) << c.profile;
            EXPECT_EQ(mac.value("Ftst"), c.ftst ? std::optional<std::int64_t>(manual) : std::nullopt) << c.profile;
        }
    }
}

TEST_F(FanProfiles, UnlockSucceedsOnceTheThermalManagerLetsGoAndTheFanSpinsUp) {
    SimulatedMac mac;  // default profile and hold
    ASSERT_EQ(mac.control("held"), "ok yes");
    auto client = mac.connect();  // kept: its end would hand the fan back
    const auto reply = answered(client.setFan(0, true, 4000));
    EXPECT_TRUE(reply.success) << reply.message.value_or("");
    EXPECT_EQ(mac.value("F0Md"), 1);
    EXPECT_EQ(mac.value("F0Tg"), 4000);
    EXPECT_EQ(mac.control("writes Ftst"), "ok 1 1") << "raised once, by the unlock";
    EXPECT_TRUE(eventually([&] { return std::abs(mac.value("F0Ac").value_or(0) - 4000) < 40; },
                           std::chrono::seconds(30)))
        << mac.control("value F0Ac");
}

}  // namespace
}  // namespace smcd::test
