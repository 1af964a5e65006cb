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

    // A refusal is exit status 1, so that a script sees it.
    for (const auto& [args, out, status] : std::vector<std::tuple<std::vector<std::string>, std::string, int>>{
             {{"--json", "set-fan", "0", "manual", "2000"}, kUnavailable, 1},
             {{"--json", "reset-fans"}, kUnavailable, 1},
             {{"--json", "capabilities"}, "[]\n", 0},
             {{"call", "setFanWithIndex:manual:targetRPM:reply:", "[0, true, 2000]"}, "[false,\"SMC unavailable\"]\n", 1}}) {
        const auto shown = smcctl(daemon, args);
        EXPECT_EQ(shown.status, status) << args[1] << shown.err;
        EXPECT_EQ(shown.out, out) << args[1];
    }
    EXPECT_EQ(smcctl(daemon, {"terminate"}).out, "true\n");
    EXPECT_EQ(daemon.process().wait(std::chrono::seconds(2)), 0) << "still running two seconds after the exit request";
}

}  // namespace
}  // namespace smcd::test
