// Fans are never left in manual mode by clients or a daemon that go away,
// and the SMC is opened once, at start-up, and never again.

#include <signal.h>

#include <gtest/gtest.h>

#include "simulated_mac.h"

namespace smcd::test {
namespace {

class FanHandBack : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideSandbox()) GTEST_SKIP() << "binds the compiled-in /var/run paths: sandbox only";
    }
};

bool allAutomatic(const SimulatedMac& mac) {
    return mac.control("value F0Md") == "ok 0" && mac.control("value F1Md") == "ok 0" &&
           mac.control("value Ftst") == "ok 0";
}

TEST_F(FanHandBack, FansStayManualWhileAClientRemainsAndGoBackWhenTheLastIsKilled) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0.2"});
    auto first = startHolder(*mac.daemon, {"0", "3000"});
    ASSERT_TRUE(holderAnswered(*first));
    EXPECT_EQ(first->standardOutput(), "set true \n");
    auto second = startHolder(*mac.daemon, {"1", "4500"});
    ASSERT_TRUE(holderAnswered(*second));
    EXPECT_EQ(second->standardOutput(), "set true \n");

    first->signal(SIGKILL);
    first->wait();
    {
        // A further connection that comes and goes changes nothing either.
        auto client = mac.connect();
        ASSERT_TRUE(client.ping().ok());
    }
    ASSERT_TRUE(second->running());
    EXPECT_EQ(mac.control("value F0Md"), "ok 1");
    EXPECT_EQ(mac.control("value F1Md"), "ok 1");
    EXPECT_EQ(mac.control("value F1Tg"), "ok 4500");
    EXPECT_EQ(mac.control("value Ftst"), "ok 1");

    second->signal(SIGKILL);
    second->wait();
    EXPECT_TRUE(eventually([&] { return allAutomatic(mac); }));
    EXPECT_EQ(mac.control("value F0Tg"), "ok 0");
    EXPECT_EQ(mac.control("value F1Tg"), "ok 0");
}

TEST_F(FanHandBack, AStoppedDaemonHandsEveryFanBackFirst) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0.2"});
    auto holder = startHolder(*mac.daemon, {"1", "5000"});
    ASSERT_TRUE(holderAnswered(*holder));
    ASSERT_EQ(mac.control("value F1Md"), "ok 1");
    mac.daemon->process().signal(SIGTERM);
    EXPECT_EQ(mac.daemon->process().wait(std::chrono::seconds(30)), 0);
    EXPECT_TRUE(allAutomatic(mac));
}

TEST_F(FanHandBack, NoSimulatorAtStartUpMeansNoSMCForTheLifeOfTheProcess) {
    Daemon daemon;
    auto client = client::Client::connect(daemon.socketPath());
    ASSERT_TRUE(client.ok());
    const auto unavailable = [&] {
        const auto capabilities = client.value().capabilities();
        const auto set = client.value().setFan(0, true, 3000);
        const auto reset = client.value().resetAllToAuto();
        return capabilities.ok() && capabilities.value() == "[]" && set.ok() && !set.value().success &&
               set.value().message == "SMC unavailable" && reset.ok() && !reset.value().success &&
               reset.value().message == "SMC unavailable";
    };
    EXPECT_TRUE(unavailable());

    auto sim = startSimulator("apple-silicon-laptop");
    ASSERT_TRUE(sim->ready());
    EXPECT_TRUE(unavailable());
    EXPECT_EQ(client.value().ping().value(), "14");
    EXPECT_EQ(sim->command("clients"), "ok 0 0");
}

TEST_F(FanHandBack, AControllerThatGoesAwayTurnsEveryCallIntoAFailedOne) {
    SimulatedMac mac("desktop");
    auto client = mac.connect();
    ASSERT_EQ(parseCapabilities(client.capabilities().value()).size(), 1u);
    EXPECT_EQ(mac.control("clients"), "ok 1 1");
    EXPECT_EQ(mac.control("drop"), "ok 1");

    EXPECT_EQ(client.capabilities().value(), "[]");
    const auto set = client.setFan(0, true, 2000);
    EXPECT_FALSE(set.value().success);
    EXPECT_EQ(set.value().message, "Fan 0 isn't controllable on this Mac");
    EXPECT_TRUE(client.resetAllToAuto().value().success);
    // The daemon never opens the service again.
    EXPECT_EQ(mac.control("clients"), "ok 0 1");
    EXPECT_EQ(mac.control("value F0Md"), "ok 0");
}

}  // namespace
}  // namespace smcd::test
