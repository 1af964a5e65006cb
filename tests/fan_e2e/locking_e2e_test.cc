// While one client waits in the fan unlock, a second client's fan request
// waits for it, but a request that needs no SMC does not; and however many
// requests one user keeps waiting, every other user's waits behind one of
// them, and a stop behind none.

#include <gtest/gtest.h>

#include <signal.h>

#include <future>

#include "simulated_mac.h"
#include "smcd/product_facts.h"

namespace smcd::test {
namespace {

using FanLocking = SandboxTest;

TEST_F(FanLocking, CapabilitiesWaitForAnUnlockInProgressButPingDoesNot) {
    // Held long enough for the checks below to run inside the unlock on a loaded machine.
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "4"});
    auto first = mac.connect();
    auto second = mac.connect();
    auto unlocking = std::async(std::launch::async, [&] { return first.setFan(0, true, 4000); });

    // Ftst raised: the first request is inside its unlock, holding the lock.
    EXPECT_TRUE(eventually([&] { return mac.value("Ftst") == 1; }));
    EXPECT_EQ(answered(second.ping()), product_facts::kDaemonVersion);
    // Answered while the unlock still runs: the fan is not manual yet.
    EXPECT_EQ(mac.value("F0Md"), 0);
    EXPECT_EQ(mac.value("F0Tg"), 0);
    EXPECT_EQ(unlocking.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "the first was answered";

    const auto capabilities = answered(second.capabilities());
    // Served only after the first request's whole conversation with the SMC.
    EXPECT_EQ(mac.value("F0Md"), 1);
    EXPECT_EQ(mac.value("F0Tg"), 4000);
    EXPECT_EQ(nlohmann::json::parse(capabilities).size(), 2u);
    EXPECT_TRUE(answered(unlocking.get()).success);
}

TEST_F(FanLocking, OneUsersFourteenConnectionsCostOthersOneUnlockAndDelayNoStop) {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    constexpr auto kUnlock = 10500ms;  // the unlock's whole wait, given up in the end
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0"}, {.descriptorLimit = 1024});
    ASSERT_EQ(mac.control("refuse F0Md"), "ok");
    // ann (uid 501) fills her 14 connections with unlocks of fan 0, one after another.
    ChildProcess flood({std::string(SMCD_TEST_BINARY_DIR) + "/fan_client", mac.daemon->socketPath(), "0", "3000", "14"},
                       {.uid = 501});
    ASSERT_TRUE(eventually([&] { return flood.standardOutput() == "connected\n"; }, 30s)) << flood.standardError();
    ASSERT_TRUE(eventually([&] { return mac.value("Ftst") == 1; })) << "an unlock holds the engine";

    const auto asked = Clock::now();
    ChildProcess automatic({std::string(SMCD_BINARY_DIR) + "/smcctl", "--socket", mac.daemon->socketPath(), "set-fan",
                            "0", "auto"},
                           {.uid = 502});
    auto root = mac.connect();
    EXPECT_TRUE(root.capabilities().has_value());
    EXPECT_LT(Clock::now() - asked, 2 * kUnlock + 5s) << "root waited behind more than one unlock of ann's";
    EXPECT_EQ(automatic.wait(), 0) << automatic.standardError();
    EXPECT_LT(Clock::now() - asked, 2 * kUnlock + 5s) << "bob waited behind more than one unlock of ann's";

    mac.daemon->process().signal(SIGTERM);
    EXPECT_EQ(mac.daemon->process().wait(20s), 0) << "launchd's ExitTimeOut";
    EXPECT_TRUE(mac.allFansAutomatic());
}

}  // namespace
}  // namespace smcd::test
