#include "platform/code_signing/version_order.h"

#include <gtest/gtest.h>

#include <compare>
#include <string_view>
#include <tuple>

namespace smcd::platform {
namespace {

TEST(VersionOrder, ComparesComponentsAsNumbersAndMissingOnesAsZero) {
    using std::strong_ordering;
    const std::tuple<std::string_view, std::string_view, strong_ordering> cases[] = {
        {"0.9", "1.0", strong_ordering::less}, {"1.9", "1.10", strong_ordering::less},
        {"1.2", "1.10", strong_ordering::less}, {"9", "10", strong_ordering::less},
        {"1.0", "1.0.1", strong_ordering::less}, {"1.99.99", "2", strong_ordering::less},
        // beyond any 64-bit integer
        {"1.18446744073709551616", "1.18446744073709551617", strong_ordering::less},
        {"99999999999999999999", "100000000000000000000", strong_ordering::less},
        {"1", "1.0", strong_ordering::equal}, {"1.0", "1.0.0.0", strong_ordering::equal},
        {"01.2", "1.02", strong_ordering::equal}, {"0", "0.0", strong_ordering::equal},
        {"1.000", "1", strong_ordering::equal},
    };
    for (const auto& [a, b, order] : cases) {
        SCOPED_TRACE(std::string(a) + " vs " + std::string(b));
        EXPECT_EQ(compareVersions(a, b), order);
        EXPECT_EQ(compareVersions(b, a), 0 <=> order);
    }
}

TEST(VersionOrder, TextThatIsNoVersionHasNoOrder) {
    const std::string_view invalid[] = {"",   ".",  "1.",  ".1",  "1..0", "1.0b", "1.0-beta", "v1",     "+1",
                                        "-1", " 1", "1 ",  "1,0", "١.٠",  "0x10", "1.0\n",     "1e3"};
    for (const auto version : invalid) {
        SCOPED_TRACE(std::string(version));
        EXPECT_FALSE(isComparableVersion(version));
        EXPECT_FALSE(compareVersions(version, "1.0").has_value());
        EXPECT_FALSE(compareVersions("1.0", version).has_value());
    }
    EXPECT_TRUE(isComparableVersion("0"));
    EXPECT_TRUE(isComparableVersion("10.15.7"));
}

}  // namespace
}  // namespace smcd::platform
