#include "platform/log/daemon_log.h"
#include "platform/log/logger.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

namespace smcd::platform {
namespace {

TEST(LogRendering, HonoursPrivacyMarks) {
    const LogArgument args[] = {std::string_view("/Users/ann/x"), std::string_view("systemCache")};
    EXPECT_EQ(renderLogMessage("removal refused by screening: %{private}s [%{public}s]", args),
              "removal refused by screening: <private> [systemCache]");
}

TEST(LogRendering, RendersNumbersAndDefaultsTextToPrivate) {
    const LogArgument args[] = {std::int64_t{-4242}, std::uint64_t{501}, std::int64_t{13}, std::string_view("x")};
    EXPECT_EQ(renderLogMessage("pid %{public}d uid %{public}u code %{public}ld text %s 100%%", args),
              "pid -4242 uid 501 code 13 text <private> 100%");
}

TEST(LogRendering, SurvivesMissingArguments) {
    EXPECT_EQ(renderLogMessage("a %{public}s b", {}), "a <missing> b");
}

TEST(DaemonLog, CaptureSeesExactLinesAndLevels) {
    ScopedLogCapture capture;
    daemonLog().log(LogLevel::Default, "accepted XPC connection from pid %{public}d uid %{public}u", 4242, 501u);
    daemonLog().log(LogLevel::Error, "maintenance rejected: unknown task id '%{private}s'", std::string("DNS"));
    const std::vector<CapturedLine> expected = {
        {LogLevel::Default, "accepted XPC connection from pid 4242 uid 501"},
        {LogLevel::Error, "maintenance rejected: unknown task id '<private>'"},
    };
    EXPECT_EQ(capture.lines(), expected);
    EXPECT_EQ(daemonLog().subsystem(), "com.brackenmill.vornik");
    EXPECT_EQ(daemonLog().category(), "daemon");
}

}  // namespace
}  // namespace smcd::platform
