// The Ftst unlock with real time: the default hold of 3.5 s succeeds, a hold
// beyond ten seconds times out after the real 10.5 s of retries.

#include <gtest/gtest.h>

#include "simulated_mac.h"

namespace smcd::test {
namespace {

class FanUnlock : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideSandbox()) GTEST_SKIP() << "binds the compiled-in /var/run paths: sandbox only";
    }
};

TEST_F(FanUnlock, SucceedsOnceTheThermalManagerLetsGoAndTheFanSpinsUp) {
    SimulatedMac mac;  // default profile and hold
    ASSERT_EQ(mac.control("held"), "ok yes");
    auto client = mac.connect();
    const auto reply = client.setFan(0, true, 4000);
    ASSERT_TRUE(reply.ok());
    EXPECT_TRUE(reply.value().success) << reply.value().message.value_or("");
    EXPECT_EQ(reply.value().message, std::nullopt);
    EXPECT_EQ(mac.control("value F0Md"), "ok 1");
    EXPECT_EQ(mac.control("value Ftst"), "ok 1");
    EXPECT_EQ(mac.control("value F0Tg"), "ok 4000");
    EXPECT_EQ(mac.control("writes Ftst"), "ok 1 1") << "raised once, by the unlock";
    EXPECT_TRUE(eventually(
        [&] {
            const auto reply = mac.control("value F0Ac");
            return reply.rfind("ok ", 0) == 0 && std::abs(std::stod(reply.substr(3)) - 4000) < 40;
        },
        std::chrono::seconds(30)))
        << mac.control("value F0Ac");
}

TEST_F(FanUnlock, TimesOutWhenTheHoldOutlastsTenSecondsAndTheHandBackLowersFtst) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "600"});
    {
        auto client = mac.connect();
        const int targetWrites = mac.writeAttempts("F1Tg");
        const int modeWrites = mac.writeAttempts("F1Md");
        const auto reply = client.setFan(1, true, 4000);
        ASSERT_TRUE(reply.ok());
        EXPECT_FALSE(reply.value().success);
        EXPECT_EQ(reply.value().message, "Timed out unlocking fan 1 \u2014 thermalmonitord kept control");
        EXPECT_EQ(mac.control("value Ftst"), "ok 1");
        EXPECT_EQ(mac.control("value F1Md"), "ok 0");
        EXPECT_EQ(mac.writeAttempts("F1Tg"), targetWrites) << "no target after a failed unlock";
        // One first attempt, then up to one hundred retries, all refused.
        const int attempts = mac.writeAttempts("F1Md") - modeWrites;
        EXPECT_GE(attempts, 2);
        EXPECT_LE(attempts, 101);
    }
    // The client has gone; with no connection left the fans are handed back.
    EXPECT_TRUE(eventually([&] { return mac.control("value Ftst") == "ok 0"; }));
}

}  // namespace
}  // namespace smcd::test
