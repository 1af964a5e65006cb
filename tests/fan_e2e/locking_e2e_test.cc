// While one client waits in the fan unlock, a second client's fan request
// waits for it, but a request that needs no SMC does not.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "simulated_mac.h"
#include "smcd/product_facts.h"

namespace smcd::test {
namespace {

using FanLocking = SandboxTest;

TEST_F(FanLocking, CapabilitiesWaitForAnUnlockInProgressButPingDoesNot) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "2"});
    auto first = mac.connect();
    auto second = mac.connect();
    std::atomic<bool> firstAnswered{false};
    std::optional<client::Status> firstStatus;
    std::thread unlocking([&] {
        auto reply = first.setFan(0, true, 4000);
        if (reply.has_value()) firstStatus = reply.value();
        firstAnswered = true;
    });

    // Ftst raised: the first request is inside its unlock, holding the lock.
    EXPECT_TRUE(eventually([&] { return mac.value("Ftst") == 1; }));
    const auto ping = second.ping();
    ASSERT_TRUE(ping.has_value());
    EXPECT_EQ(ping.value(), product_facts::kDaemonVersion);
    // Answered while the unlock still runs: the fan is not manual yet.
    EXPECT_EQ(mac.value("F0Md"), 0);
    EXPECT_EQ(mac.value("F0Tg"), 0);
    EXPECT_FALSE(firstAnswered);

    const auto capabilities = second.capabilities();
    ASSERT_TRUE(capabilities.has_value());
    // Served only after the first request's whole conversation with the SMC.
    EXPECT_EQ(mac.value("F0Md"), 1);
    EXPECT_EQ(mac.value("F0Tg"), 4000);
    EXPECT_EQ(parseCapabilities(capabilities.value()).size(), 2u);
    unlocking.join();
    ASSERT_TRUE(firstStatus);
    EXPECT_TRUE(firstStatus->success);
}

}  // namespace
}  // namespace smcd::test
