// Fans are never left in manual mode by clients or a daemon that go away,
// and the SMC is opened once, at start-up, and never again.

#include <signal.h>

#include <gtest/gtest.h>

#include "simulated_mac.h"

namespace smcd::test {
namespace {

using FanHandBack = SandboxTest;

TEST_F(FanHandBack, FansStayManualWhileAClientRemainsAndGoBackWhenTheLastIsKilled) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0.2"});
    auto first = startHolder(*mac.daemon, {"0", "3000"});
    EXPECT_EQ(first->standardOutput(), "set true \n");
    auto second = startHolder(*mac.daemon, {"1", "4500"});
    EXPECT_EQ(second->standardOutput(), "set true \n");

    first->signal(SIGKILL);
    first->wait();
    ASSERT_TRUE(mac.connect().ping().ok()) << "a further connection that comes and goes changes nothing either";
    ASSERT_TRUE(second->running());
    EXPECT_EQ(mac.value("F0Md"), 1);
    EXPECT_EQ(mac.value("F1Md"), 1);
    EXPECT_EQ(mac.value("F1Tg"), 4500);
    EXPECT_EQ(mac.value("Ftst"), 1);

    second->signal(SIGKILL);
    second->wait();
    EXPECT_TRUE(eventually([&] { return mac.allFansAutomatic(); }));
}

TEST_F(FanHandBack, NoSimulatorAtStartUpMeansNoSMCForTheLifeOfTheProcess) {
    Daemon daemon;
    auto client = client::Client::connect(daemon.socketPath());
    ASSERT_TRUE(client.ok());
    const auto refused = [](const auto& reply) {
        return reply.ok() && !reply.value().success && reply.value().message == "SMC unavailable";
    };
    const auto unavailable = [&] {
        const auto capabilities = client.value().capabilities();
        return capabilities.ok() && capabilities.value() == "[]" && refused(client.value().setFan(0, true, 3000)) &&
               refused(client.value().resetAllToAuto());
    };
    EXPECT_TRUE(unavailable());
    auto sim = startSimulator("apple-silicon-laptop");
    ASSERT_TRUE(sim->ready());
    EXPECT_TRUE(unavailable());
    EXPECT_EQ(client.value().ping().value(), "14");
    EXPECT_EQ(sim->command("clients"), "ok 0 0");
}

}  // namespace
}  // namespace smcd::test
