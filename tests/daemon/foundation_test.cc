// The daemon as a newcomer meets it: smcctl against a running smcd.

#include <gtest/gtest.h>

#include "support/daemon.h"

namespace smcd::test {
namespace {

TEST(Foundation, AnswersPingLogsEachPeersPidAndUidAndExitsForAnUpdate) {
    Daemon daemon;
    ChildProcess asAnn({std::string(SMCD_BINARY_DIR) + "/smcctl", "--socket", daemon.socketPath(), "ping"}, {.uid = 501});
    ASSERT_EQ(asAnn.wait(), 0) << asAnn.standardError();
    EXPECT_EQ(asAnn.standardOutput(), "14\n");
    EXPECT_TRUE(daemon.logEventuallyContains("<5>com.brackenmill.vornik[daemon]: accepted XPC connection from pid " +
                                             std::to_string(asAnn.pid()) + " uid 501\n"));

    EXPECT_EQ(smcctl(daemon, {"terminate"}).out, "true\n");
    EXPECT_EQ(daemon.process().wait(std::chrono::seconds(2)), 0) << "still running two seconds after the exit request";
}

}  // namespace
}  // namespace smcd::test
