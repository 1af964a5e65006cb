// The daemon as a newcomer meets it: smcctl against a running smcd.

#include <gtest/gtest.h>

#include "support/daemon.h"

namespace smcd::test {
namespace {

const std::string kUnavailable = "{\"success\":false,\"message\":\"SMC unavailable\"}\n";

TEST(Foundation, AnswersPingReportsNoSMCLogsEachPeersPidAndUidAndExitsForAnUpdate) {
    Daemon daemon;
    SpawnOptions ann;
    ann.uid = 501;
    ChildProcess asAnn({std::string(SMCD_BINARY_DIR) + "/smcctl", "--socket", daemon.socketPath(), "ping"}, ann);
    ASSERT_EQ(asAnn.wait(), 0) << asAnn.standardError();
    EXPECT_EQ(asAnn.standardOutput(), "14\n");
    EXPECT_TRUE(daemon.logEventuallyContains("<5>com.brackenmill.vornik[daemon]: accepted XPC connection from pid " +
                                             std::to_string(asAnn.pid()) + " uid 501\n"));

    for (const auto& [args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--json", "set-fan", "0", "manual", "2000"}, kUnavailable},
             {{"--json", "reset-fans"}, kUnavailable},
             {{"--json", "capabilities"}, "[]\n"},
             {{"call", "setFanWithIndex:manual:targetRPM:reply:", "[0, true, 2000]"}, "[false,\"SMC unavailable\"]\n"}}) {
        const auto shown = smcctl(daemon, args);
        EXPECT_EQ(shown.status, 0) << args[1] << shown.err;
        EXPECT_EQ(shown.out, out) << args[1];
    }
    EXPECT_EQ(smcctl(daemon, {"terminate"}).out, "true\n");
    EXPECT_EQ(daemon.process().wait(std::chrono::seconds(2)), 0) << "still running two seconds after the exit request";
}

TEST(Foundation, SmcctlSeparatesUnreachableAndRefusedCallsFromUsageErrors) {
    Daemon daemon;
    EXPECT_EQ(smcctl(daemon, {"no-such-command"}).status, 64);
    EXPECT_EQ(smcctl(daemon, {"set-fan", "x", "auto"}).status, 64);
    EXPECT_EQ(smcctl(daemon, {"remove", "systemCache", "--trash", "/Library/Caches/x"}).status, 64);
    EXPECT_EQ(smcctl(daemon, {"call", "noSuchMethodWithReply:"}).status, 2);
    EXPECT_EQ(smcctl(daemon, {"call", "setFanWithIndex:manual:targetRPM:reply:", "[\"0\", true, 1]"}).status, 2);
    auto unreachable = run({std::string(SMCD_BINARY_DIR) + "/smcctl", "--socket", "/nonexistent/socket", "ping"});
    EXPECT_EQ(unreachable.status, 2);
    EXPECT_NE(unreachable.err.find("/nonexistent/socket"), std::string::npos);
}

}  // namespace
}  // namespace smcd::test
