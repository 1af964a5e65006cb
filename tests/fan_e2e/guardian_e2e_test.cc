// Whatever ends the daemon, and whatever its SMC connection goes through, a
// fan a client set manual comes back to automatic: the daemon's own stop
// path, the fan guardian it forked, the hand-back's retries and the
// reconnection of a dropped SMC, each through smcd and smc-sim.

#include <signal.h>

#include <gtest/gtest.h>

#include "simulated_mac.h"

namespace smcd::test {
namespace {

using namespace std::chrono_literals;
using FanGuardianEndToEnd = SandboxTest;

bool mentionsGuardian(const Daemon& daemon) { return daemon.log().find("fan guardian") != std::string::npos; }

bool stopped(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    return line.size() > line.rfind(')') + 2 && line[line.rfind(')') + 2] == 'T';
}

TEST_F(FanGuardianEndToEnd, EveryWayTheDaemonIsSignalledLeavesTheFansAutomaticWithinThreeSeconds) {
    struct Case {
        int signal;
        std::optional<int> status;  // none: the daemon goes on serving, the fan stays manual
        bool byGuardian;            // handed back by the guardian, not by the daemon itself
    };
    const Case cases[] = {
        {SIGTSTP, std::nullopt, false}, {SIGTTIN, std::nullopt, false}, {SIGTTOU, std::nullopt, false},
        {SIGTERM, 0, false},            {SIGABRT, 0, false},            {SIGPWR, 0, false},
        {SIGRTMIN, 0, false},           {SIGRTMAX, 0, false},           {SIGKILL, 128 + SIGKILL, true},
    };
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0"});
    for (const auto& c : cases) {
        const std::string name = sigabbrev_np(c.signal) ? sigabbrev_np(c.signal) : std::to_string(c.signal);
        if (!mac.daemon) mac.startDaemon();
        auto holder = startHolder(*mac.daemon, {"1", "5000"});
        ASSERT_EQ(mac.value("F1Md"), 1) << name;
        mac.daemon->process().signal(c.signal);
        if (!c.status) {
            std::this_thread::sleep_for(200ms);
            EXPECT_FALSE(stopped(mac.daemon->pid())) << name;
            mac.daemon->process().signal(SIGCONT);
            EXPECT_EQ(mac.value("F1Md"), 1) << name;
            continue;
        }
        EXPECT_TRUE(eventually([&] { return mac.allFansAutomatic(); }, 3s)) << name;
        EXPECT_EQ(mac.daemon->process().wait(), c.status) << name;
        EXPECT_TRUE(endsWithin(mac.guardian, 30s)) << name << ": the guardian outlived its hand-back";
        EXPECT_EQ(mentionsGuardian(*mac.daemon), c.byGuardian) << name << ": " << mac.daemon->log();
        mac.stopDaemon();
    }
}

TEST_F(FanGuardianEndToEnd, AHandBackWhoseFirstCallStallsStillEndsWithTheFanAutomatic) {
    SimulatedMac mac("desktop");
    auto holder = startHolder(*mac.daemon, {"0", "3000"});
    ASSERT_EQ(mac.value("F0Md"), 1);
    ASSERT_EQ(mac.control("stall"), "ok");
    holder.reset();  // the last client leaves; the hand-back's first SMC call is never answered
    EXPECT_TRUE(eventually([&] { return mac.value("F0Md") == 0 && mac.value("F0Tg") == 0; }, 45s));
    EXPECT_FALSE(mentionsGuardian(*mac.daemon));
}

TEST_F(FanGuardianEndToEnd, ARefusedTargetWriteAnswersFalseWithTheFanAutomatic) {
    SimulatedMac mac("desktop");
    ASSERT_EQ(mac.control("refuse F0Tg"), "ok");
    const auto reply = mac.connect().setFan(0, true, 3000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_FALSE(reply.value().success);
    EXPECT_EQ(reply.value().message, "Target-RPM write failed for fan 0");
    EXPECT_EQ(mac.value("F0Md"), 0);
}

TEST_F(FanGuardianEndToEnd, DroppedSMCConnectionsAreReopenedAndAVanishedSMCIsReportedUnavailable) {
    SimulatedMac mac("desktop");
    // The guardian calls nothing until its daemon ends: only the first drop finds its connection.
    const auto dropWithFanManual = [&](const char* dropped) {
        auto holder = startHolder(*mac.daemon, {"0", "3000"});
        EXPECT_EQ(mac.value("F0Md"), 1);
        EXPECT_EQ(mac.control("drop"), dropped);
        return holder;
    };
    {
        auto client = mac.connect();
        auto holder = dropWithFanManual("ok 2");
        const auto fans = client.capabilities();
        ASSERT_TRUE(fans.has_value());
        EXPECT_EQ(parseCapabilities(fans.value()).size(), 1u);
        const auto reset = client.resetAllToAuto();
        ASSERT_TRUE(reset.has_value());
        EXPECT_TRUE(reset.value().success) << reset.value().message.value_or("");
        EXPECT_EQ(mac.value("F0Md"), 0);
    }
    dropWithFanManual("ok 1").reset();
    EXPECT_TRUE(eventually([&] { return mac.value("F0Md") == 0; })) << "the last client's departure";
    {
        auto holder = dropWithFanManual("ok 1");
        mac.daemon->process().signal(SIGKILL);
        EXPECT_TRUE(eventually([&] { return mac.value("F0Md") == 0; }, 3s)) << "the guardian's own connection";
    }
    EXPECT_TRUE(mac.stopDaemon());

    mac.startDaemon();
    auto last = mac.connect();
    mac.sim.reset();
    const auto reset = last.resetAllToAuto();
    ASSERT_TRUE(reset.has_value());
    EXPECT_FALSE(reset.value().success);
    EXPECT_EQ(reset.value().message, "SMC unavailable");
    const auto fans = last.capabilities();
    ASSERT_TRUE(fans.has_value());
    EXPECT_EQ(fans.value(), "[]");
}

}  // namespace
}  // namespace smcd::test
