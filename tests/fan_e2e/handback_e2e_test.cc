// Fans are never left in manual mode by clients or a daemon that go away,
// whichever way the daemon ends, and the SMC is opened once, at start-up,
// and never again.

#include <signal.h>

#include <future>

#include <gtest/gtest.h>

#include "simulated_mac.h"
#include "smcd/product_facts.h"

namespace smcd::test {
namespace {

using FanHandBack = SandboxTest;

TEST_F(FanHandBack, FansStayManualWhileAClientRemainsAndGoBackWhenTheLastIsKilled) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0.2"});
    auto first = startHolder(*mac.daemon, {"0", "3000"});
    EXPECT_EQ(first->standardOutput(), "set true \n");
    auto second = startHolder(*mac.daemon, {"1", "4500"});
    EXPECT_EQ(second->standardOutput(), "set true \n");

    first.reset();  // killed
    ASSERT_TRUE(mac.connect().ping().has_value()) << "a further connection that comes and goes changes nothing either";
    ASSERT_TRUE(second->running());
    EXPECT_EQ(mac.value("F0Md"), 1);
    EXPECT_EQ(mac.value("F1Md"), 1);
    EXPECT_EQ(mac.value("F1Tg"), 4500);
    EXPECT_EQ(mac.value("Ftst"), 1);

    second.reset();
    EXPECT_TRUE(eventually([&] { return mac.allFansAutomatic(); }));
}

TEST_F(FanHandBack, NoSimulatorAtStartUpMeansNoSMCForTheLifeOfTheProcess) {
    Daemon daemon;
    auto client = answered(client::Client::connect(daemon.socketPath()));
    ASSERT_TRUE(client.ping().has_value()) << "answered: the daemon's start-up is over";
    auto sim = startSimulator("apple-silicon-laptop");
    ASSERT_TRUE(sim->ready());
    EXPECT_EQ(answered(client.setFan(0, true, 3000)).message, "SMC unavailable");
    EXPECT_EQ(sim->command("clients"), "ok 0 0");
}

// The daemon's ways out, the exit for an update and every stop signal, hand
// the fans back first, and no fan request runs between that hand-back and the
// end of the process.

using ExitForUpdate = SandboxTest;

TEST_F(ExitForUpdate, HandsBackRepliesAndServesOtherRequestsButNoFanRequestUntilTheEnd) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0.2"});
    auto holder = startHolder(*mac.daemon, {"1", "5000"});
    ASSERT_EQ(mac.value("F1Md"), 1);
    auto exiting = mac.connect();
    auto other = mac.connect();
    ASSERT_TRUE(other.ping().has_value());

    const auto exited = exiting.terminateForUpdate();
    ASSERT_TRUE(exited.has_value()) << "the reply comes before the exit";
    EXPECT_TRUE(exited.value());
    // The process has 0.2 s left: the ping goes at once, not behind the
    // simulator's answers, and a fan request must wait them out.
    auto pinged = std::async(std::launch::async, [&] { return other.ping(); });
    EXPECT_TRUE(mac.allFansAutomatic());
    const auto version = pinged.get();
    ASSERT_TRUE(version.has_value()) << "requests are still served after the reply";
    EXPECT_EQ(version.value(), product_facts::kDaemonVersion);
    EXPECT_FALSE(other.setFan(0, true, 3000).has_value()) << "a fan request after the hand-back never runs";

    EXPECT_EQ(mac.daemon->process().wait(), 0);
    EXPECT_TRUE(mac.allFansAutomatic());
}

}  // namespace
}  // namespace smcd::test
