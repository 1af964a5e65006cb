// Fan operations of SMCFanCore against the controller model: what is read
// and written, in which encoding, and what is answered.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "fan/fan_capability.h"
#include "fan/rpm_rounding.h"
#include "support/fan_capability_json.h"
#include "support/model_core.h"

namespace smcd {
namespace {

using test::failureOf;

using test::floatBytes;
using test::ModelCore;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;
constexpr auto kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr auto kInf = std::numeric_limits<double>::infinity();
constexpr auto kMin64 = std::numeric_limits<std::int64_t>::min();

TEST(RPMRounding, RoundsHalvesAwayTruncatesTowardZeroAndRefusesNonSpeeds) {
    EXPECT_EQ(roundedRPM(-1234.5), -1235);
    EXPECT_EQ(truncatedRPM(-6550.9), -6550);
    EXPECT_EQ(truncatedRPM(-9223372036854775808.0), kMin64);
    // 2^63 - 1024 is the largest double below 2^63.
    EXPECT_EQ(roundedRPM(9223372036854774784.0), 9223372036854774784);
    for (const double value : {kNaN, kInf, -kInf, 9223372036854775808.0, 1e30, -9223372036854777856.0}) {
        EXPECT_EQ(roundedRPM(value), std::nullopt) << value;
        EXPECT_EQ(truncatedRPM(value), std::nullopt) << value;
    }
}

TEST(FanCapabilities, FanCountModeAndTargetKeysDecideWhatIsDescribed) {
    ModelCore model;
    ASSERT_FALSE(model.machine.setAbsent("F1Tg", true));
    ASSERT_FALSE(model.machine.setAbsent("F0Md", true));
    auto fans = model.core->capabilities();
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_FALSE(fans[0].controllable);
    EXPECT_FALSE(fans[1].controllable);
    // Without a mode key the target key is not even asked for.
    for (const auto& call : model.machine.journal()) EXPECT_NE(call.key, "F0Tg");
    EXPECT_TRUE(model.writes().empty()) << "reading capabilities writes nothing";

    ASSERT_FALSE(model.machine.setAbsent("FNum", true));
    EXPECT_TRUE(model.core->capabilities().empty());
    ASSERT_FALSE(model.machine.define("FNum", "ui16", {0x01, 0x00}));  // the first byte counts
    EXPECT_EQ(model.core->capabilities().size(), 1u);
    // A count above the fans the machine has describes the missing ones as zeros.
    ASSERT_FALSE(model.machine.define("FNum", "ui8 ", {0x03}));
    fans = model.core->capabilities();
    ASSERT_EQ(fans.size(), 3u);
    EXPECT_EQ(fans[2], (FanCapability{2, 0, 0, 0, false}));
}

TEST(FanCapabilities, RoundsFltAndFpe2SpeedsAndReportsUnreadableOnesAsZero) {
    ModelCore model("desktop");
    const std::pair<float, std::int64_t> cases[] = {{1234.5f, 1235}, {2000.25f, 2000}, {-10.5f, -11},
                                                    {NAN, 0}, {INFINITY, 0}, {1e30f, 0}};
    for (const auto& [actual, reported] : cases) {
        ASSERT_FALSE(model.machine.setBytes("F0Ac", floatBytes(actual)));
        EXPECT_EQ(model.core->capability(0).currentRPM, reported) << actual;
    }
    ASSERT_FALSE(model.machine.setAbsent("F0Ac", true));
    ASSERT_FALSE(model.machine.define("F0Mx", "ui8 ", {200}));  // one byte: not a number
    EXPECT_EQ(model.core->capability(0), (FanCapability{0, 1100, 0, 0, true}));

    ModelCore intel("intel-laptop");
    ASSERT_FALSE(intel.machine.setBytes("F1Ac", {0x17, 0x72}));  // 1500.5
    EXPECT_EQ(intel.core->capability(1), (FanCapability{1, 2000, 6200, 1501, false}));
}

TEST(FanCapabilityJSON, WritesTheFiveKeysInOrderAndDecodesOnlyWithAllOfThem) {
    const std::vector<FanCapability> fans = {{0, 1499, 5348, 2310, true}, {-1, 0, 0, 0, false}};
    EXPECT_EQ(nlohmann::ordered_json(fans).dump(),
              R"([{"index":0,"minRPM":1499,"maxRPM":5348,"currentRPM":2310,"controllable":true},)"
              R"({"index":-1,"minRPM":0,"maxRPM":0,"currentRPM":0,"controllable":false}])");
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

TEST(FanModeKey, PrefersUpperCaseThenLowerCase) {
    ModelCore newer("apple-silicon-newer");
    EXPECT_EQ(newer.core->modeKey(1), "F1md");
    ASSERT_FALSE(newer.machine.define("F1Md", "ui8 ", {0}));
    EXPECT_EQ(newer.core->modeKey(1), "F1Md");
    EXPECT_EQ(ModelCore("intel-laptop").core->modeKey(0), std::nullopt);
}

TEST(SetFan, ClampsToTheTruncatedLimitsBeforeWriting) {
    ModelCore model("desktop");
    ASSERT_FALSE(model.machine.setNumber("F0Mn", 1100.9));
    ASSERT_FALSE(model.machine.setNumber("F0Mx", 6550.9));
    const std::pair<std::int64_t, float> cases[] = {{6551, 6550.0f}, {2500, 2500.0f}, {1100, 1100.0f}, {-5000, 1100.0f},
                                                    {std::numeric_limits<std::int64_t>::max(), 6550.0f}, {kMin64, 1100.0f}};
    for (const auto& [target, written] : cases) {
        EXPECT_EQ(failureOf(model.core->setFan(0, true, target)), std::nullopt) << target;
        EXPECT_EQ(model.machine.read("F0Tg")->bytes, floatBytes(written)) << target;
    }
    // A two-byte target key takes the speed as fpe2.
    ModelCore intel("intel-laptop");
    ASSERT_FALSE(intel.machine.define("F0Md", "ui8 ", {0}));
    EXPECT_EQ(failureOf(intel.core->setFan(0, true, 3000)), std::nullopt);
    EXPECT_EQ(intel.machine.read("F0Tg")->bytes, (Bytes{0x2E, 0xE0}));
}

TEST(SetFan, ReportsFansThatCannotBeControlledWithTheirIndexAsGiven) {
    ModelCore laptop;
    EXPECT_EQ(failureOf(laptop.core->setFan(kMin64, true, 0)),
              "Fan -9223372036854775808 isn't controllable on this Mac");
    EXPECT_EQ(failureOf(laptop.core->setFan(7, true, 3000)), "Fan 7 isn't controllable on this Mac");
    EXPECT_TRUE(laptop.writes().empty());
}

TEST(SetFan, TwoDigitIndicesUseKeysCutToFourBytes) {
    // "F10Md", "F10Mn" and "F10Mx" all name the key "F10M": the limits read
    // as one value, so the minimum is not below the maximum.
    ModelCore model("desktop");
    ASSERT_FALSE(model.machine.define("F10M", "flt ", floatBytes(2000.0f)));
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->setFan(10, true, 3000)), "Fan 10 min/max RPM unreadable");
    for (const auto& call : model.machine.journal()) EXPECT_EQ(call.key, "F10M");
    EXPECT_TRUE(model.writes().empty());
}

TEST(SetFan, RefusesUnreadableOrUnusableLimitsBeforeWritingAnything) {
    const std::pair<std::optional<double>, std::optional<double>> cases[] = {
        {std::nullopt, 5000}, {1000, std::nullopt}, {3000, 3000}, {4000, 3000},
        {kNaN, 5000},         {1000, kNaN},         {1000, kInf}, {-kInf, 5000}, {1000, 1e30}};
    for (const auto& [minimum, maximum] : cases) {
        ModelCore model("desktop");
        for (const auto& [key, value] : {std::pair{"F0Mn", minimum}, std::pair{"F0Mx", maximum}}) {
            ASSERT_FALSE(value ? model.machine.define(key, "flt ", floatBytes(static_cast<float>(*value)))
                               : model.machine.setAbsent(key, true));
        }
        model.machine.clearJournal();
        const auto what = ::testing::PrintToString(minimum) + " " + ::testing::PrintToString(maximum);
        EXPECT_EQ(failureOf(model.core->setFan(0, true, 2000)), "Fan 0 min/max RPM unreadable") << what;
        EXPECT_TRUE(model.writes().empty()) << what;
    }
}

TEST(SetFan, ARefusedTargetWriteFailsAndLeavesTheFanManual) {
    ModelCore model("desktop");
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Tg", true));
    EXPECT_EQ(failureOf(model.core->setFan(0, true, 2000)), "Target-RPM write failed for fan 0");
    EXPECT_EQ(model.byte("F0Md"), 1);
    // A target key of one byte cannot hold a speed: refused without a write.
    ASSERT_FALSE(model.machine.define("F0Tg", "ui8 ", {0}));
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Tg", false));
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->setFan(0, true, 2000)), "Target-RPM write failed for fan 0");
    EXPECT_EQ(model.writes(), (Strings{"F0Md=01"}));
}

TEST(SetAutomatic, ClearsModeAndTargetAndIgnoresRefusals) {
    ModelCore model("desktop");
    ASSERT_EQ(failureOf(model.core->setFan(0, true, 3000)), std::nullopt);
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->setFan(0, false, 1234)), std::nullopt);
    EXPECT_EQ(model.writes(), (Strings{"F0Md=00", "F0Tg=00000000"}));
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Md", true));
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Tg", true));
    EXPECT_EQ(failureOf(model.core->setFan(0, false, 0)), std::nullopt);
}

TEST(SetAutomatic, LowersARaisedFtstOnlyWhenNoOtherFanIsManual) {
    ModelCore model;
    model.machine.setHoldTime(std::chrono::milliseconds(0));
    EXPECT_EQ(failureOf(model.core->setFan(1, false, 0)), std::nullopt);
    EXPECT_EQ(model.writes(), (Strings{"F1Md=00", "F1Tg=00000000"})) << "a lowered Ftst is left alone";
    ASSERT_EQ(failureOf(model.core->setFan(0, true, 3000)), std::nullopt);
    ASSERT_EQ(failureOf(model.core->setFan(1, true, 3000)), std::nullopt);
    ASSERT_EQ(model.byte("Ftst"), 1);

    EXPECT_EQ(failureOf(model.core->setFan(0, false, 0)), std::nullopt);
    EXPECT_EQ(model.byte("Ftst"), 1) << "fan 1 is still manual";
    EXPECT_EQ(model.byte("F0Md"), 0);
    EXPECT_EQ(model.byte("F1Md"), 1);
    // Only the value 1 means manual.
    ASSERT_FALSE(model.machine.setNumber("F0Md", 2));
    EXPECT_EQ(failureOf(model.core->setFan(1, false, 0)), std::nullopt);
    EXPECT_EQ(model.byte("Ftst"), 0);
}

TEST(ResetAllToAuto, HandsBackEveryFanWithAModeKeyThenLowersARaisedFtst) {
    ModelCore model;
    model.machine.setHoldTime(std::chrono::milliseconds(0));
    ASSERT_EQ(failureOf(model.core->setFan(0, true, 3000)), std::nullopt);
    ASSERT_EQ(failureOf(model.core->setFan(1, true, 5000)), std::nullopt);
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->resetAllToAuto()), std::nullopt);
    EXPECT_EQ(model.writes(), (Strings{"F0Md=00", "F0Tg=00000000", "F1Md=00", "F1Tg=00000000", "Ftst=00"}));

    ASSERT_FALSE(model.machine.setNumber("Ftst", 1));
    ASSERT_FALSE(model.machine.setAbsent("F0Md", true));
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->resetAllToAuto()), std::nullopt);
    EXPECT_EQ(model.writes(), (Strings{"F1Md=00", "F1Tg=00000000", "Ftst=00"}));

    // An unreadable fan count still lowers Ftst.
    ASSERT_FALSE(model.machine.setNumber("Ftst", 1));
    ASSERT_FALSE(model.machine.setAbsent("FNum", true));
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->resetAllToAuto()), std::nullopt);
    EXPECT_EQ(model.writes(), Strings{"Ftst=00"});
}

TEST(ResetAllToAuto, OnAFanlessMachineWritesOnlyARaisedFtst) {
    ModelCore model("fanless-laptop");
    ASSERT_FALSE(model.machine.setNumber("Ftst", 1));
    EXPECT_EQ(failureOf(model.core->resetAllToAuto()), std::nullopt);
    EXPECT_EQ(model.writes(), Strings{"Ftst=00"});
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->resetAllToAuto()), std::nullopt);
    EXPECT_TRUE(model.writes().empty()) << "a lowered Ftst is not written again";
}

}  // namespace
}  // namespace smcd
