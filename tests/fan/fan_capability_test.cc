// How speeds become whole numbers and how the record is written as JSON.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "fan/fan_capability.h"
#include "fan/rpm_rounding.h"
#include "support/model_core.h"

namespace smcd {
namespace {

TEST(RPMRounding, RoundsHalvesAwayFromZeroAndTruncatesTowardZero) {
    EXPECT_EQ(roundedRPM(1234.5), 1235);
    EXPECT_EQ(roundedRPM(1234.4999), 1234);
    EXPECT_EQ(roundedRPM(-1234.5), -1235);
    EXPECT_EQ(roundedRPM(0.0), 0);
    EXPECT_EQ(truncatedRPM(6550.9), 6550);
    EXPECT_EQ(truncatedRPM(-6550.9), -6550);
    EXPECT_EQ(truncatedRPM(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min());
}

TEST(RPMRounding, NonNumbersAndValuesOutsideSixtyFourBitsAreNoSpeed) {
    const double cases[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(), 9223372036854775808.0, 1e30,
                            -9223372036854777856.0};
    for (const double value : cases) {
        EXPECT_EQ(roundedRPM(value), std::nullopt) << value;
        EXPECT_EQ(truncatedRPM(value), std::nullopt) << value;
    }
    // Just inside: 2^63 - 1024 is the largest double below 2^63.
    EXPECT_EQ(roundedRPM(9223372036854774784.0), 9223372036854774784);
}

TEST(FanCapabilityReading, RoundsTheSpeedsAndReportsUnreadableOnesAsZero) {
    test::ModelCore model("desktop");
    struct Case {
        const char* what;
        std::vector<std::uint8_t> actual;  // F0Ac as flt bytes
        std::int64_t reported;
    };
    const auto flt = [](float value) {
        const auto bits = std::bit_cast<std::uint32_t>(value);
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                         static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    };
    const Case cases[] = {
        {"half", flt(1234.5f), 1235},
        {"below half", flt(2000.25f), 2000},
        {"NaN", flt(std::numeric_limits<float>::quiet_NaN()), 0},
        {"infinite", flt(std::numeric_limits<float>::infinity()), 0},
        {"beyond 64 bits", flt(1e30f), 0},
        {"negative", flt(-10.5f), -11},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(model.machine.setBytes("F0Ac", c.actual));
        EXPECT_EQ(model.core->capability(0).currentRPM, c.reported) << c.what;
    }
    ASSERT_FALSE(model.machine.setAbsent("F0Ac", true));
    ASSERT_FALSE(model.machine.define("F0Mx", "ui8 ", {200}));  // one byte: not a number
    const auto capability = model.core->capability(0);
    EXPECT_EQ(capability, (FanCapability{0, 1100, 0, 0, true}));
}

TEST(FanCapabilityReading, ReadsFpe2Speeds) {
    test::ModelCore model("intel-laptop");
    ASSERT_FALSE(model.machine.setBytes("F1Ac", {0x17, 0x72}));  // 1500.5
    EXPECT_EQ(model.core->capability(1), (FanCapability{1, 2000, 6200, 1501, false}));
}

TEST(FanCapabilityJSON, WritesTheFiveKeysInRecordOrder) {
    const std::vector<FanCapability> fans = {{0, 1499, 5348, 2310, true}, {-1, 0, 0, 0, false}};
    EXPECT_EQ(nlohmann::ordered_json(fans).dump(),
              R"([{"index":0,"minRPM":1499,"maxRPM":5348,"currentRPM":2310,"controllable":true},)"
              R"({"index":-1,"minRPM":0,"maxRPM":0,"currentRPM":0,"controllable":false}])");
    EXPECT_EQ(nlohmann::ordered_json(std::vector<FanCapability>{}).dump(), "[]");
}

TEST(FanCapabilityJSON, DecodesOnlyWithAllFiveKeys) {
    const auto json = nlohmann::json::parse(
        R"({"controllable":true,"currentRPM":2310,"maxRPM":5348,"minRPM":1499,"index":1})");
    EXPECT_EQ(json.get<FanCapability>(), (FanCapability{1, 1499, 5348, 2310, true}));
    for (const char* key : {"index", "minRPM", "maxRPM", "currentRPM", "controllable"}) {
        auto missing = json;
        missing.erase(key);
        EXPECT_THROW(missing.get<FanCapability>(), nlohmann::json::exception) << key;
    }
    auto mistyped = json;
    mistyped["controllable"] = "yes";
    EXPECT_THROW(mistyped.get<FanCapability>(), nlohmann::json::exception);
}

}  // namespace
}  // namespace smcd
