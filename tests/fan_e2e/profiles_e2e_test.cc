// Every simulated machine through the daemon: what capabilities reports,
// and manual and automatic mode, checked on the simulator's own keys.

#include <gtest/gtest.h>

#include "simulated_mac.h"

namespace smcd::test {
namespace {

class FanProfiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideSandbox()) GTEST_SKIP() << "binds the compiled-in /var/run paths: sandbox only";
    }
};

std::int64_t simValue(const SimulatedMac& mac, const std::string& key) {
    const auto reply = mac.control("value " + key);
    if (reply.rfind("ok ", 0) != 0) throw std::runtime_error(key + ": " + reply);
    return static_cast<std::int64_t>(std::llround(std::stod(reply.substr(3))));
}

TEST_F(FanProfiles, CapabilitiesDescribeTheSimulatedFans) {
    const std::pair<const char*, bool> profiles[] = {{"apple-silicon-laptop", true},
                                                     {"apple-silicon-newer", true},
                                                     {"intel-laptop", false},
                                                     {"desktop", true},
                                                     {"fanless-laptop", false}};
    for (const auto& [profile, controllable] : profiles) {
        SimulatedMac mac(profile);
        ASSERT_TRUE(mac.sim->ready()) << profile;
        auto client = mac.connect();
        const auto reply = client.capabilities();
        ASSERT_TRUE(reply.ok()) << profile;
        const auto fans = parseCapabilities(reply.value());
        ASSERT_EQ(static_cast<std::int64_t>(fans.size()), simValue(mac, "FNum")) << profile;
        for (std::size_t i = 0; i < fans.size(); ++i) {
            const std::string fan = "F" + std::to_string(i);
            EXPECT_EQ(fans[i].index, static_cast<std::int64_t>(i));
            EXPECT_EQ(fans[i].minRPM, simValue(mac, fan + "Mn")) << profile;
            EXPECT_EQ(fans[i].maxRPM, simValue(mac, fan + "Mx")) << profile;
            EXPECT_GE(fans[i].currentRPM, fans[i].minRPM) << profile;
            EXPECT_LE(fans[i].currentRPM, fans[i].maxRPM) << profile;
            EXPECT_EQ(fans[i].controllable, controllable) << profile;
        }
        if (fans.empty()) {
            EXPECT_EQ(reply.value(), "[]");
        }
    }
}

TEST_F(FanProfiles, ManualThenAutomaticOnEachControllableMachine) {
    struct Case {
        const char* profile;
        const char* modeKey;
        std::int64_t fan;
        std::int64_t target;
        std::int64_t written;  // after clamping
        bool hasFtst;
    };
    const Case cases[] = {
        {"apple-silicon-laptop", "F1Md", 1, 4000, 4000, true},
        {"apple-silicon-newer", "F0md", 0, 9000, 5600, false},
        {"desktop", "F0Md", 0, 500, 1100, false},
    };
    for (const auto& c : cases) {
        SimulatedMac mac(c.profile, {"--hold", "0.2"});
        auto client = mac.connect();
        const auto manual = client.setFan(c.fan, true, c.target);
        ASSERT_TRUE(manual.ok()) << c.profile;
        EXPECT_TRUE(manual.value().success) << c.profile;
        EXPECT_EQ(manual.value().message, std::nullopt) << c.profile;
        EXPECT_EQ(simValue(mac, c.modeKey), 1) << c.profile;
        EXPECT_EQ(simValue(mac, "F" + std::to_string(c.fan) + "Tg"), c.written) << c.profile;
        EXPECT_EQ(mac.control("value Ftst"), c.hasFtst ? "ok 1" : "error absent") << c.profile;

        const auto automatic = client.setFan(c.fan, false, 0);
        ASSERT_TRUE(automatic.ok());
        EXPECT_TRUE(automatic.value().success) << c.profile;
        EXPECT_EQ(automatic.value().message, std::nullopt);
        EXPECT_EQ(simValue(mac, c.modeKey), 0) << c.profile;
        EXPECT_EQ(simValue(mac, "F" + std::to_string(c.fan) + "Tg"), 0) << c.profile;
        if (c.hasFtst) {
            EXPECT_EQ(mac.control("value Ftst"), "ok 0") << c.profile;
        }
    }
}

TEST_F(FanProfiles, MachinesWithoutModeKeysRefuseBothModes) {
    for (const char* profile : {"intel-laptop", "fanless-laptop"}) {
        SimulatedMac mac(profile);
        auto client = mac.connect();
        for (const bool manual : {true, false}) {
            const auto reply = client.setFan(0, manual, 3000);
            ASSERT_TRUE(reply.ok());
            EXPECT_FALSE(reply.value().success) << profile;
            EXPECT_EQ(reply.value().message, "Fan 0 isn't controllable on this Mac") << profile;
        }
        const auto reset = client.resetAllToAuto();
        ASSERT_TRUE(reset.ok());
        EXPECT_TRUE(reset.value().success);
        // Without a mode key nothing is written, the target least of all.
        EXPECT_EQ(mac.control("writes F0Tg"), "ok 0 0") << profile;
    }
}

TEST_F(FanProfiles, ARefusedModeWriteWithoutFtstIsReportedAtOnce) {
    SimulatedMac mac("desktop");
    ASSERT_EQ(mac.control("refuse F0Md"), "ok");
    auto client = mac.connect();
    const int modeWrites = mac.writeAttempts("F0Md");
    const int targetWrites = mac.writeAttempts("F0Tg");
    const auto reply = client.setFan(0, true, 2000);
    ASSERT_TRUE(reply.ok());
    EXPECT_FALSE(reply.value().success);
    EXPECT_EQ(reply.value().message, "Fan 0 mode write rejected and this Mac has no Ftst unlock");
    EXPECT_EQ(mac.writeAttempts("F0Md"), modeWrites + 1);
    EXPECT_EQ(mac.writeAttempts("F0Tg"), targetWrites);
}

TEST_F(FanProfiles, SmcctlShowsTheFansAndSetsOne) {
    SimulatedMac mac("desktop");
    const auto capabilities = smcctl(*mac.daemon, {"--json", "capabilities"});
    ASSERT_EQ(capabilities.status, 0) << capabilities.err;
    const auto fans = parseCapabilities(capabilities.out);
    ASSERT_EQ(fans.size(), 1u);
    EXPECT_EQ(fans[0].maxRPM, 3700);
    const auto set = smcctl(*mac.daemon, {"--json", "set-fan", "0", "manual", "2500"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_TRUE(nlohmann::json::parse(set.out).at("success").get<bool>()) << set.out;
    // smcctl has gone: with no connection left the fan is handed back.
    EXPECT_TRUE(eventually([&] { return mac.control("value F0Md") == "ok 0"; }));
}

}  // namespace
}  // namespace smcd::test
