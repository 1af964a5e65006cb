#include "platform/code_signing/version_order.h"

#include <gtest/gtest.h>

#include <string_view>

namespace smcd::platform {
namespace {

struct OrderedPair {
    std::string_view lower;
    std::string_view higher;
};

TEST(VersionOrder, ComparesComponentsAsNumbersNotText) {
    const OrderedPair pairs[] = {
        {"0.9", "1.0"},
        {"1.9", "1.10"},
        {"1.2", "1.10"},
        {"9", "10"},
        {"1.0", "1.0.1"},
        {"1.99.99", "2"},
        {"1.18446744073709551616", "1.18446744073709551617"},  // beyond any 64-bit integer
        {"99999999999999999999", "100000000000000000000"},
    };
    for (const auto& [lower, higher] : pairs) {
        SCOPED_TRACE(std::string(lower) + " < " + std::string(higher));
        EXPECT_EQ(compareVersions(lower, higher), std::strong_ordering::less);
        EXPECT_EQ(compareVersions(higher, lower), std::strong_ordering::greater);
    }
}

TEST(VersionOrder, MissingComponentsAndLeadingZerosCountAsZero) {
    const OrderedPair equal[] = {{"1", "1.0"}, {"1.0", "1.0.0.0"}, {"01.2", "1.02"}, {"0", "0.0"}, {"1.000", "1"}};
    for (const auto& [a, b] : equal) {
        SCOPED_TRACE(std::string(a) + " == " + std::string(b));
        EXPECT_EQ(compareVersions(a, b), std::strong_ordering::equal);
        EXPECT_EQ(compareVersions(b, a), std::strong_ordering::equal);
    }
}

TEST(VersionOrder, TextThatIsNoVersionHasNoOrder) {
    const std::string_view invalid[] = {"",     ".",     "1.",   ".1",    "1..0", "1.0b", "1.0-beta", "v1",
                                        "+1",   "-1",    " 1",   "1 ",    "1,0",  "١.٠",  "0x10",     "1.0\n",
                                        "1e3"};
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
