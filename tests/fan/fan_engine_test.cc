// Fan operations of SMCFanCore against the controller model: what is
// written, in which encoding, and what is answered.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fan/smc_fan_core.h"
#include "support/model_core.h"

namespace smcd {
namespace {

using test::ModelCore;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

Bytes floatBytes(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
            static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
}

TEST(FanCapabilities, DescribeEveryFanOfEachProfile) {
    struct Expected {
        const char* profile;
        std::vector<FanCapability> fans;
    };
    const Expected cases[] = {
        {"apple-silicon-laptop", {{0, 1499, 5348, 0, true}, {1, 1499, 5776, 0, true}}},
        {"apple-silicon-newer", {{0, 1300, 5600, 0, true}, {1, 1300, 6100, 0, true}}},
        {"intel-laptop", {{0, 2000, 6200, 0, false}, {1, 2000, 6200, 0, false}}},
        {"desktop", {{0, 1100, 3700, 0, true}}},
        {"fanless-laptop", {}},
    };
    for (const auto& expected : cases) {
        ModelCore model(expected.profile);
        auto fans = model.core->capabilities();
        ASSERT_EQ(fans.size(), expected.fans.size()) << expected.profile;
        for (std::size_t i = 0; i < fans.size(); ++i) {
            // The actual speed moves; it must lie within the fan's range.
            EXPECT_GE(fans[i].currentRPM, fans[i].minRPM) << expected.profile;
            EXPECT_LE(fans[i].currentRPM, fans[i].maxRPM) << expected.profile;
            fans[i].currentRPM = 0;
            EXPECT_EQ(fans[i], expected.fans[i]) << expected.profile << " fan " << i;
        }
        EXPECT_TRUE(model.writes().empty()) << "reading capabilities writes nothing";
    }
}

TEST(FanCapabilities, FanCountComesFromTheFirstByteOfFNum) {
    ModelCore model;
    ASSERT_FALSE(model.machine.setAbsent("FNum", true));
    EXPECT_TRUE(model.core->capabilities().empty());
    ASSERT_FALSE(model.machine.define("FNum", "ui16", {0x01, 0x00}));
    EXPECT_EQ(model.core->capabilities().size(), 1u);
    // A count above the fans the machine has describes the missing ones as zeros.
    ASSERT_FALSE(model.machine.define("FNum", "ui8 ", {0x03}));
    const auto fans = model.core->capabilities();
    ASSERT_EQ(fans.size(), 3u);
    EXPECT_EQ(fans[2], (FanCapability{2, 0, 0, 0, false}));
}

TEST(FanCapabilities, ControllableNeedsAModeKeyAndATargetKey) {
    ModelCore model;
    ASSERT_FALSE(model.machine.setAbsent("F1Tg", true));
    ASSERT_FALSE(model.machine.setAbsent("F0Md", true));
    const auto fans = model.core->capabilities();
    EXPECT_FALSE(fans[0].controllable);
    EXPECT_FALSE(fans[1].controllable);
    // Without a mode key the target key is not even asked for.
    for (const auto& call : model.machine.journal()) EXPECT_NE(call.key, "F0Tg");
}

TEST(FanModeKey, PrefersUpperCaseThenLowerCase) {
    ModelCore laptop;
    EXPECT_EQ(laptop.core->modeKey(0), "F0Md");
    ModelCore newer("apple-silicon-newer");
    EXPECT_EQ(newer.core->modeKey(1), "F1md");
    ASSERT_FALSE(newer.machine.define("F1Md", "ui8 ", {0}));
    EXPECT_EQ(newer.core->modeKey(1), "F1Md");
    ModelCore intel("intel-laptop");
    EXPECT_EQ(intel.core->modeKey(0), std::nullopt);
}

TEST(SetFan, ManualOnAMachineThatAcceptsAtOnceNeverSleepsNorTouchesFtst) {
    ModelCore model("apple-silicon-newer");
    ASSERT_FALSE(model.machine.define("Ftst", "ui8 ", {0}));  // present, yet not needed
    EXPECT_EQ(model.core->setFan(1, true, 4000), FanResult::succeeded());
    EXPECT_EQ(model.writes(), (Strings{"F1md=01", "F1Tg=00007a45"}));
    EXPECT_TRUE(model.clock.sleeps().empty());
    EXPECT_EQ(model.byte("F1md"), 1);
}

TEST(SetFan, ClampsToTheTruncatedLimitsBeforeWriting) {
    ModelCore model("desktop");
    ASSERT_FALSE(model.machine.setNumber("F0Mn", 1100.9));
    ASSERT_FALSE(model.machine.setNumber("F0Mx", 6550.9));
    const std::pair<std::int64_t, float> cases[] = {
        {99999, 6550.0f},
        {6551, 6550.0f},
        {2500, 2500.0f},
        {1100, 1100.0f},
        {0, 1100.0f},
        {-5000, 1100.0f},
        {std::numeric_limits<std::int64_t>::max(), 6550.0f},
        {std::numeric_limits<std::int64_t>::min(), 1100.0f},
    };
    for (const auto& [target, written] : cases) {
        EXPECT_EQ(model.core->setFan(0, true, target), FanResult::succeeded()) << target;
        EXPECT_EQ(model.machine.read("F0Tg")->bytes, floatBytes(written)) << target;
    }
}

TEST(SetFan, WritesTheTargetInTheEncodingOfATwoByteKey) {
    // A controllable fpe2 fan: float bytes in a two-byte key would read back
    // as another speed, so the target is written as fpe2.
    ModelCore model("intel-laptop");
    ASSERT_FALSE(model.machine.define("F0Md", "ui8 ", {0}));
    EXPECT_EQ(model.core->setFan(0, true, 3000), FanResult::succeeded());
    EXPECT_EQ(model.machine.read("F0Tg")->bytes, (Bytes{0x2E, 0xE0}));
    EXPECT_EQ(model.machine.value("F0Tg"), 3000.0);
}

TEST(SetFan, ReportsFansThatCannotBeControlledWithTheirIndexAsGiven) {
    ModelCore intel("intel-laptop");
    EXPECT_EQ(intel.core->setFan(0, true, 3000), FanResult::failed("Fan 0 isn't controllable on this Mac"));
    EXPECT_EQ(intel.core->setFan(1, false, 0), FanResult::failed("Fan 1 isn't controllable on this Mac"));
    ModelCore laptop;
    EXPECT_EQ(laptop.core->setFan(-1, true, 3000), FanResult::failed("Fan -1 isn't controllable on this Mac"));
    EXPECT_EQ(laptop.core->setFan(std::numeric_limits<std::int64_t>::min(), true, 0),
              FanResult::failed("Fan -9223372036854775808 isn't controllable on this Mac"));
    EXPECT_EQ(laptop.core->setFan(7, true, 3000), FanResult::failed("Fan 7 isn't controllable on this Mac"));
    EXPECT_TRUE(intel.writes().empty());
    EXPECT_TRUE(laptop.writes().empty());
}

TEST(SetFan, TwoDigitIndicesUseKeysCutToFourBytes) {
    // "F10Md", "F10Mn" and "F10Mx" all name the key "F10M": the limits read
    // as one value, so the minimum is not below the maximum.
    ModelCore model("desktop");
    ASSERT_FALSE(model.machine.define("F10M", "flt ", floatBytes(2000.0f)));
    model.machine.clearJournal();
    EXPECT_EQ(model.core->setFan(10, true, 3000), FanResult::failed("Fan 10 min/max RPM unreadable"));
    for (const auto& call : model.machine.journal()) EXPECT_EQ(call.key, "F10M");
    EXPECT_TRUE(model.writes().empty());
}

TEST(SetFan, RefusesUnreadableOrUnusableLimitsBeforeWritingAnything) {
    const auto nan = std::numeric_limits<double>::quiet_NaN();
    const auto inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        std::optional<double> minimum;
        std::optional<double> maximum;
    };
    const Case cases[] = {
        {"minimum absent", std::nullopt, 5000},
        {"maximum absent", 1000, std::nullopt},
        {"minimum equals maximum", 3000, 3000},
        {"minimum above maximum", 4000, 3000},
        {"minimum not a number", nan, 5000},
        {"maximum not a number", 1000, nan},
        {"maximum infinite", 1000, inf},
        {"minimum minus infinity", -inf, 5000},
        {"maximum beyond 64 bits", 1000, 1e30},
    };
    for (const auto& c : cases) {
        ModelCore model("desktop");
        for (const auto& [key, value] : {std::pair{"F0Mn", c.minimum}, std::pair{"F0Mx", c.maximum}}) {
            if (value) {
                ASSERT_FALSE(model.machine.define(key, "flt ", floatBytes(static_cast<float>(*value))));
            } else {
                ASSERT_FALSE(model.machine.setAbsent(key, true));
            }
        }
        model.machine.clearJournal();
        EXPECT_EQ(model.core->setFan(0, true, 2000), FanResult::failed("Fan 0 min/max RPM unreadable")) << c.what;
        EXPECT_TRUE(model.writes().empty()) << c.what;
        EXPECT_EQ(model.byte("F0Md"), 0) << c.what;
    }
}

TEST(SetFan, ARefusedTargetWriteFailsAndLeavesTheFanManual) {
    ModelCore model("desktop");
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Tg", true));
    EXPECT_EQ(model.core->setFan(0, true, 2000), FanResult::failed("Target-RPM write failed for fan 0"));
    EXPECT_EQ(model.byte("F0Md"), 1);
    // A target key of one byte cannot hold a speed: refused without a write.
    ASSERT_FALSE(model.machine.define("F0Tg", "ui8 ", {0}));
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Tg", false));
    model.machine.clearJournal();
    EXPECT_EQ(model.core->setFan(0, true, 2000), FanResult::failed("Target-RPM write failed for fan 0"));
    EXPECT_EQ(model.writes(), (Strings{"F0Md=01"}));
}

TEST(SetAutomatic, ClearsModeAndTargetAndIgnoresRefusals) {
    ModelCore model("desktop");
    ASSERT_EQ(model.core->setFan(0, true, 3000), FanResult::succeeded());
    model.machine.clearJournal();
    EXPECT_EQ(model.core->setFan(0, false, 1234), FanResult::succeeded());
    EXPECT_EQ(model.writes(), (Strings{"F0Md=00", "F0Tg=00000000"}));

    ASSERT_FALSE(model.machine.setRefuseWrites("F0Md", true));
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Tg", true));
    EXPECT_EQ(model.core->setFan(0, false, 0), FanResult::succeeded());
}

TEST(SetAutomatic, LowersFtstOnlyWhenNoOtherFanIsManual) {
    ModelCore model;
    model.machine.setHoldTime(std::chrono::milliseconds(0));
    ASSERT_EQ(model.core->setFan(0, true, 3000), FanResult::succeeded());
    ASSERT_EQ(model.core->setFan(1, true, 3000), FanResult::succeeded());
    ASSERT_EQ(model.byte("Ftst"), 1);

    EXPECT_EQ(model.core->setFan(0, false, 0), FanResult::succeeded());
    EXPECT_EQ(model.byte("Ftst"), 1) << "fan 1 is still manual";
    EXPECT_EQ(model.byte("F0Md"), 0);
    EXPECT_EQ(model.byte("F1Md"), 1);

    EXPECT_EQ(model.core->setFan(1, false, 0), FanResult::succeeded());
    EXPECT_EQ(model.byte("Ftst"), 0);
    EXPECT_EQ(model.byte("F1Md"), 0);
}

TEST(SetAutomatic, LeavesALoweredFtstAlone) {
    ModelCore model;
    model.machine.setHoldTime(std::chrono::milliseconds(0));
    EXPECT_EQ(model.core->setFan(1, false, 0), FanResult::succeeded());
    for (const auto& write : model.writes()) EXPECT_NE(write.substr(0, 4), "Ftst");
}

TEST(OtherFanIsManual, LooksAtEveryOtherFanWithAModeKey) {
    ModelCore model("apple-silicon-newer");
    EXPECT_FALSE(model.core->otherFanIsManual(0));
    ASSERT_FALSE(model.machine.setNumber("F1md", 1));
    EXPECT_TRUE(model.core->otherFanIsManual(0));
    EXPECT_FALSE(model.core->otherFanIsManual(1));
    EXPECT_TRUE(model.core->otherFanIsManual(-1));
    ASSERT_FALSE(model.machine.setNumber("F1md", 2));
    EXPECT_FALSE(model.core->otherFanIsManual(0)) << "only the value 1 means manual";
    ASSERT_FALSE(model.machine.setAbsent("FNum", true));
    ASSERT_FALSE(model.machine.setNumber("F1md", 1));
    EXPECT_FALSE(model.core->otherFanIsManual(0));
}

TEST(ResetAllToAuto, HandsEveryFanBackAndLowersFtst) {
    ModelCore model;
    model.machine.setHoldTime(std::chrono::milliseconds(0));
    ASSERT_EQ(model.core->setFan(0, true, 3000), FanResult::succeeded());
    ASSERT_EQ(model.core->setFan(1, true, 5000), FanResult::succeeded());
    EXPECT_EQ(model.core->resetAllToAuto(), FanResult::succeeded());
    EXPECT_EQ(model.byte("F0Md"), 0);
    EXPECT_EQ(model.byte("F1Md"), 0);
    EXPECT_EQ(model.machine.read("F0Tg")->bytes, Bytes(4, 0));
    EXPECT_EQ(model.machine.read("F1Tg")->bytes, Bytes(4, 0));
    EXPECT_EQ(model.byte("Ftst"), 0);
}

TEST(ResetAllToAuto, OnAFanlessMachineWritesOnlyTheRaisedFtst) {
    ModelCore model("fanless-laptop");
    ASSERT_FALSE(model.machine.setNumber("Ftst", 1));
    model.machine.clearJournal();
    EXPECT_EQ(model.core->resetAllToAuto(), FanResult::succeeded());
    EXPECT_EQ(model.writes(), Strings{"Ftst=00"});

    model.machine.clearJournal();
    EXPECT_EQ(model.core->resetAllToAuto(), FanResult::succeeded());
    EXPECT_TRUE(model.writes().empty()) << "a lowered Ftst is not written again";
}

TEST(ResetAllToAuto, UnreadableFanCountStillLowersFtstAndSkipsFansWithoutModeKey) {
    ModelCore model;
    ASSERT_FALSE(model.machine.setNumber("Ftst", 1));
    ASSERT_FALSE(model.machine.setAbsent("F0Md", true));
    model.machine.clearJournal();
    EXPECT_EQ(model.core->resetAllToAuto(), FanResult::succeeded());
    EXPECT_EQ(model.writes(), (Strings{"F1Md=00", "F1Tg=00000000", "Ftst=00"}));

    ASSERT_FALSE(model.machine.setNumber("Ftst", 1));
    ASSERT_FALSE(model.machine.setAbsent("FNum", true));
    model.machine.clearJournal();
    EXPECT_EQ(model.core->resetAllToAuto(), FanResult::succeeded());
    EXPECT_EQ(model.writes(), Strings{"Ftst=00"});
}

TEST(FanOperations, AControllerThatWentAwayFailsSafely) {
    ModelCore model;
    model.userClient->disconnect();
    EXPECT_TRUE(model.core->capabilities().empty());
    EXPECT_EQ(model.core->setFan(0, true, 3000), FanResult::failed("Fan 0 isn't controllable on this Mac"));
    EXPECT_EQ(model.core->resetAllToAuto(), FanResult::succeeded());
    EXPECT_EQ(model.machine.callCount(), 0u);
}

}  // namespace
}  // namespace smcd
