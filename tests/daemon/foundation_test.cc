// The daemon as a newcomer meets it: smcctl against a running smcd.

#include <gtest/gtest.h>

#include "support/daemon.h"

namespace smcd::test {
namespace {

TEST(Foundation, AnswersPingAndReportsNoSMC) {
    Daemon daemon;
    auto ping = smcctl(daemon, {"ping"});
    EXPECT_EQ(ping.status, 0) << ping.err;
    EXPECT_EQ(ping.out, "14\n");

    auto setFan = smcctl(daemon, {"--json", "set-fan", "0", "manual", "2000"});
    EXPECT_EQ(setFan.status, 0) << setFan.err;
    EXPECT_EQ(setFan.out, "{\"success\":false,\"message\":\"SMC unavailable\"}\n");

    auto reset = smcctl(daemon, {"--json", "reset-fans"});
    EXPECT_EQ(reset.out, "{\"success\":false,\"message\":\"SMC unavailable\"}\n");

    auto capabilities = smcctl(daemon, {"--json", "capabilities"});
    EXPECT_EQ(capabilities.status, 0) << capabilities.err;
    EXPECT_EQ(capabilities.out, "[]\n");
}

TEST(Foundation, LogsTheAcceptLineWithThePeersPidAndUid) {
    Daemon daemon;
    ChildProcess asRoot({std::string(SMCD_BINARY_DIR) + "/smcctl", "--socket", daemon.socketPath(), "ping"});
    ASSERT_EQ(asRoot.wait(), 0);
    SpawnOptions ann;
    ann.uid = 501;
    ChildProcess asAnn({std::string(SMCD_BINARY_DIR) + "/smcctl", "--socket", daemon.socketPath(), "ping"}, ann);
    ASSERT_EQ(asAnn.wait(), 0) << asAnn.standardError();
    EXPECT_TRUE(daemon.logEventuallyContains("<5>com.brackenmill.vornik[daemon]: accepted XPC connection from pid " +
                                             std::to_string(asRoot.pid()) + " uid 0\n"));
    EXPECT_TRUE(daemon.logEventuallyContains("<5>com.brackenmill.vornik[daemon]: accepted XPC connection from pid " +
                                             std::to_string(asAnn.pid()) + " uid 501\n"));
}

TEST(Foundation, SmcctlSeparatesUnreachableFromUsageErrors) {
    Daemon daemon;
    EXPECT_EQ(smcctl(daemon, {"no-such-command"}).status, 64);
    EXPECT_EQ(smcctl(daemon, {"set-fan", "x", "auto"}).status, 64);
    EXPECT_EQ(smcctl(daemon, {"remove", "systemCache", "--trash", "/Library/Caches/x"}).status, 64);
    auto unreachable = run({std::string(SMCD_BINARY_DIR) + "/smcctl", "--socket", "/nonexistent/socket", "ping"});
    EXPECT_EQ(unreachable.status, 2);
    EXPECT_NE(unreachable.err.find("/nonexistent/socket"), std::string::npos);
}

TEST(Foundation, CallSendsAnySelectorAndPrintsTheReplyValues) {
    Daemon daemon;
    auto snapshot = smcctl(daemon, {"call", "pingWithReply:"});
    EXPECT_EQ(snapshot.out, "[\"14\"]\n");
    auto unknown = smcctl(daemon, {"call", "noSuchMethodWithReply:"});
    EXPECT_EQ(unknown.status, 2);
    auto wrongTypes = smcctl(daemon, {"call", "setFanWithIndex:manual:targetRPM:reply:", "[\"0\", true, 1]"});
    EXPECT_EQ(wrongTypes.status, 2);
    auto setFan = smcctl(daemon, {"call", "setFanWithIndex:manual:targetRPM:reply:", "[0, true, 2000]"});
    EXPECT_EQ(setFan.out, "[false,\"SMC unavailable\"]\n");
}

TEST(Foundation, ExitsForAnUpdateAfterReplying) {
    Daemon daemon;
    auto terminate = smcctl(daemon, {"terminate"});
    EXPECT_EQ(terminate.status, 0);
    EXPECT_EQ(terminate.out, "true\n");
    const auto status = daemon.process().wait(std::chrono::seconds(2));
    ASSERT_TRUE(status.has_value()) << "still running two seconds after the exit request";
    EXPECT_EQ(*status, 0);
}

TEST(Foundation, StopsCleanlyOnSigterm) {
    Daemon daemon;
    ASSERT_EQ(smcctl(daemon, {"ping"}).status, 0);
    daemon.process().signal(SIGTERM);
    EXPECT_EQ(daemon.process().wait(std::chrono::seconds(5)), 0);
}

}  // namespace
}  // namespace smcd::test
