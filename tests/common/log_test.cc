#include "platform/log/logger.h"

#include <gtest/gtest.h>

namespace smcd::platform {
namespace {

TEST(LogRendering, HonoursPrivacyMarksDefaultsTextToPrivateAndSurvivesMissingArguments) {
    const LogArgument args[] = {std::string_view("/Users/ann/x"), std::string_view("systemCache"), std::int64_t{-4242},
                                std::uint64_t{501}, std::int64_t{13}, std::string_view("x")};
    EXPECT_EQ(renderLogMessage("refused: %{private}s [%{public}s] pid %{public}d uid %{public}u code %{public}ld "
                               "text %s 100%% %{public}s",
                               args),
              "refused: <private> [systemCache] pid -4242 uid 501 code 13 text <private> 100% <missing>");
}

}  // namespace
}  // namespace smcd::platform
