// Whatever ends the daemon, and whatever its SMC connection goes through, a
// fan a client set manual comes back to automatic: the daemon's own stop
// path, the fan guardian it forked, the hand-back's retries and the
// reconnection of a dropped SMC, each through smcd and smc-sim.

#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "fan/fan_guardian.h"
#include "platform/process/guardian_process.h"
#include "simulated_mac.h"

namespace smcd::test {
namespace {

using namespace std::chrono_literals;
using FanGuardianEndToEnd = SandboxTest;

const std::string kGuardianHandsBack = "fan guardian: the daemon ended without handing the fans back";

bool stopped(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    return line.size() > line.rfind(')') + 2 && line[line.rfind(')') + 2] == 'T';
}

TEST_F(FanGuardianEndToEnd, EveryWayTheDaemonIsSignalledLeavesTheFansAutomaticWithinThreeSeconds) {
    // Job control neither stops the daemon nor ends it: it goes on serving and
    // the fan stays manual. SIGKILL leaves the hand-back to the guardian; every
    // other signal ends the daemon through its own stop.
    const std::set<int> jobControl = {SIGTSTP, SIGTTIN, SIGTTOU};
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0"});
    for (const int number : {SIGTSTP, SIGTTIN, SIGTTOU, SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGABRT, SIGPWR,
                             SIGRTMIN, SIGRTMAX, SIGKILL}) {
        const std::string name = sigabbrev_np(number) ? sigabbrev_np(number) : std::to_string(number);
        const bool byGuardian = number == SIGKILL;
        if (!mac.daemon) mac.startDaemon();
        auto holder = startHolder(*mac.daemon, {"1", "5000"});
        ASSERT_EQ(mac.value("F1Md"), 1) << name;
        mac.daemon->process().signal(number);
        if (jobControl.contains(number)) {
            std::this_thread::sleep_for(200ms);
            EXPECT_FALSE(stopped(mac.daemon->pid())) << name;
            mac.daemon->process().signal(SIGCONT);
            EXPECT_EQ(mac.value("F1Md"), 1) << name;
            continue;
        }
        EXPECT_TRUE(eventually([&] { return mac.allFansAutomatic(); }, 3s)) << name;
        EXPECT_EQ(mac.daemon->process().wait(), byGuardian ? 128 + SIGKILL : 0) << name;
        EXPECT_TRUE(endsWithin(mac.guardian, 30s)) << name << ": the guardian outlived its hand-back";
        EXPECT_EQ(mac.daemon->logContains(kGuardianHandsBack), byGuardian) << name << ": " << mac.daemon->log();
        EXPECT_EQ(mac.daemon->logContains("signal " + std::to_string(number) + ": every fan is automatic"), !byGuardian)
            << name << ": " << mac.daemon->log();
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
    EXPECT_FALSE(mac.daemon->logContains(kGuardianHandsBack));
}

// The thermal manager keeps fan 1 manual through the stop's hand-back (until
// "Ftst" goes down), so the daemon must not tell its guardian the fans are back.
TEST_F(FanGuardianEndToEnd, AStopWhoseHandBackFailsLeavesTheRestToTheGuardian) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0"});
    auto holder = startHolder(*mac.daemon, {"1", "5000"});
    ASSERT_EQ(mac.control("refuse F1Md"), "ok");
    mac.daemon->process().signal(SIGTERM);
    EXPECT_EQ(mac.daemon->process().wait(), 0);
    EXPECT_TRUE(eventually([&] { return mac.allFansAutomatic(); }, 3s));
    EXPECT_TRUE(mac.daemon->logContains("signal 15: the fans could not all be handed back (Fan 1 could not be set back "
                                        "to automatic); the fan guardian tries again"))
        << mac.daemon->log();
    EXPECT_TRUE(mac.daemon->logEventuallyContains(kGuardianHandsBack));
}

// Its guardian killed, the daemon collects it and starts another, refusing
// manual requests while it cannot (here: out of descriptors).
TEST_F(FanGuardianEndToEnd, AGuardianThatEndsIsCollectedAndReplacedAndManualRequestsWaitForIt) {
    SimulatedMac mac("desktop");
    auto app = mac.connect();
    ASSERT_TRUE(app.ping().has_value()) << "served: the connection holds all it needs";
    const pid_t daemon = mac.daemon->pid(), first = guardianPid(daemon);
    rlimit usual{};
    ASSERT_EQ(::prlimit(daemon, RLIMIT_NOFILE, nullptr, &usual), 0);
    const rlimit none{3, usual.rlim_max};
    ASSERT_EQ(::prlimit(daemon, RLIMIT_NOFILE, &none, nullptr), 0);
    ::kill(first, SIGKILL);
    EXPECT_TRUE(mac.daemon->logEventuallyContains("fan guardian (pid " + std::to_string(first) +
                                                  ") ended by signal 9; starting another"));
    EXPECT_TRUE(eventually([&] { return !std::filesystem::exists("/proc/" + std::to_string(first)); })) << "collected";
    EXPECT_TRUE(mac.daemon->logEventuallyContains("manual fan requests are refused until one is"));
    EXPECT_EQ(answered(app.setFan(0, true, 3000)).message, "Fan 0 can't be set to manual: no fan guardian is running");
    EXPECT_EQ(mac.value("F0Md"), 0);

    ASSERT_EQ(::prlimit(daemon, RLIMIT_NOFILE, &usual, nullptr), 0);
    EXPECT_TRUE(mac.daemon->logEventuallyContains("fan guardian started again"));
    mac.guardian = guardianOf(daemon);
    const auto set = answered(app.setFan(0, true, 3000));
    EXPECT_TRUE(set.success) << set.message.value_or("");
    mac.daemon->process().signal(SIGKILL);
    EXPECT_TRUE(eventually([&] { return mac.value("F0Md") == 0 && mac.value("F0Tg") == 0; }, 3s));
}

// The old guardian's hand-back is held up by a stalled call while the
// service manager starts the daemon again at once.
TEST_F(FanGuardianEndToEnd, ADaemonStartedAgainServesFansOnlyOnceTheOldGuardianHasHandedBack) {
    SimulatedMac mac("desktop");
    auto holder = startHolder(*mac.daemon, {"0", "3000"});
    UniqueFd old = std::move(mac.guardian);
    ASSERT_TRUE(old);
    ASSERT_EQ(mac.control("stall"), "ok");
    mac.daemon->process().signal(SIGKILL);
    ASSERT_TRUE(mac.daemon->process().wait());
    holder.reset();

    mac.daemon = std::make_unique<Daemon>();
    auto client = mac.connect();  // kept: its end would hand the fans back
    auto setting = std::async(std::launch::async, [&] { return client.setFan(0, true, 2500); });
    // Look for a new guardian first: only if the old one is still there
    // after that look were the two alive at once.
    bool alone = true;
    for (;;) {
        const bool second = guardianPid(mac.daemon->pid()) != 0;
        if (endsWithin(old, 50ms)) break;
        alone = alone && !second;
    }
    EXPECT_TRUE(alone) << "two guardians at once";
    ASSERT_TRUE(answered(setting.get()).success);
    EXPECT_EQ(mac.value("F0Md"), 1) << "the old guardian undid the new client's fan";
    EXPECT_EQ(mac.value("F0Tg"), 2500);
    mac.guardian = guardianOf(mac.daemon->pid());
}

// Anyone may take the post's name first: a user's holder is never waited on,
// root's only for a bounded time.
TEST_F(FanGuardianEndToEnd, ThePostIsAwaitedOnlyWhileRootHoldsItAndOnlySoLong) {
    SimulatedMac mac("desktop");
    for (const uid_t holder : {uid_t{501}, uid_t{0}}) {
        EXPECT_TRUE(mac.stopDaemon());
        ASSERT_EQ(::seteuid(holder), 0);
        auto post = platform::holdGuardianPost(fanGuardianPostName());
        ASSERT_EQ(::seteuid(0), 0);
        ASSERT_TRUE(post);
        mac.startDaemon();
        auto client = startHolder(*mac.daemon, {"0", "3000"});
        EXPECT_EQ(client->standardOutput(), "set true \n");
        EXPECT_EQ(mac.daemon->logContains("fan guardian: uid 501 holds its post; not waiting on it"), holder == 501);
        const std::string gaveUp = "fan guardian: an earlier daemon's guardian still holds its post after";
        EXPECT_EQ(mac.daemon->logContains(gaveUp), holder == 0) << mac.daemon->log();
    }
}

TEST_F(FanGuardianEndToEnd, ARefusedTargetWriteAnswersFalseWithTheFanAutomatic) {
    SimulatedMac mac("desktop");
    ASSERT_EQ(mac.control("refuse F0Tg"), "ok");
    const auto reply = answered(mac.connect().setFan(0, true, 3000));
    EXPECT_FALSE(reply.success);
    EXPECT_EQ(reply.message, "Target-RPM write failed for fan 0");
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
        EXPECT_EQ(nlohmann::json::parse(answered(client.capabilities())).size(), 1u);
        const auto reset = answered(client.resetAllToAuto());
        EXPECT_TRUE(reset.success) << reset.message.value_or("");
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
    const auto reset = answered(last.resetAllToAuto());
    EXPECT_FALSE(reset.success);
    EXPECT_EQ(reset.message, "SMC unavailable");
    EXPECT_EQ(answered(last.capabilities()), "[]");
}

}  // namespace
}  // namespace smcd::test
