// Fan operations of SMCFanCore against the controller model: what is read
// and written, in which encoding, and what is answered.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fan/fan_capability.h"
#include "fan/rpm_rounding.h"
#include "support/model_core.h"

namespace smcd {
namespace {

using test::failureOf;
using test::floatBytes;
using test::ModelCore;
using Strings = std::vector<std::string>;
constexpr auto kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr auto kInf = std::numeric_limits<double>::infinity();
constexpr auto kMin64 = std::numeric_limits<std::int64_t>::min();

TEST(RPMRounding, RoundsHalvesAwayTruncatesTowardZeroAndRefusesNonSpeeds) {
    EXPECT_EQ(truncatedRPM(-6550.9), -6550);
    EXPECT_EQ(truncatedRPM(-9223372036854775808.0), kMin64);
    EXPECT_EQ(roundedRPM(9223372036854774784.0), 9223372036854774784);  // the largest double below 2^63
    for (const double value : {kNaN, kInf, -kInf, 9223372036854775808.0, 1e30, -9223372036854777856.0}) {
        EXPECT_EQ(roundedRPM(value), std::nullopt) << value;
        EXPECT_EQ(truncatedRPM(value), std::nullopt) << value;
    }
}

TEST(FanCapabilities, FanCountModeAndSpeedKeysDecideWhatIsDescribed) {
    ModelCore model;
    ASSERT_FALSE(model.machine.setAbsent("F1Tg", true));
    ASSERT_FALSE(model.machine.setAbsent("F0Md", true));
    const auto fans = model.core->capabilities();
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_FALSE(fans[0].controllable || fans[1].controllable);
    EXPECT_TRUE(model.writes().empty()) << "reading capabilities writes nothing";
    // The first byte of the count counts; fans beyond the machine's are described as zeros.
    ASSERT_FALSE(model.machine.define("FNum", "ui16", {0x03, 0x00}));
    EXPECT_EQ(model.core->capabilities(), (std::vector<FanCapability>{fans[0], fans[1], {2, 0, 0, 0, false}}));
    ASSERT_FALSE(model.machine.setAbsent("FNum", true));
    EXPECT_TRUE(model.core->capabilities().empty());
    for (const auto& [actual, reported] : {std::pair{1234.5f, 1235}, {-10.5f, -11}, {NAN, 0}, {INFINITY, 0}, {1e30f, 0}}) {
        ASSERT_FALSE(model.machine.setBytes("F0Ac", floatBytes(actual)));
        EXPECT_EQ(model.core->capability(0).currentRPM, reported) << actual;
    }
    ModelCore intel("intel-laptop");
    ASSERT_FALSE(intel.machine.setBytes("F1Ac", {0x17, 0x72}));  // fpe2 1500.5
    EXPECT_EQ(intel.core->capability(1), (FanCapability{1, 2000, 6200, 1501, false}));
    EXPECT_EQ(intel.core->modeKey(0), std::nullopt);
    // The upper-case mode key goes before the lower-case one.
    ModelCore newer("apple-silicon-newer");
    EXPECT_EQ(newer.core->modeKey(1), "F1md");
    ASSERT_FALSE(newer.machine.define("F1Md", "ui8 ", {0}));
    EXPECT_EQ(newer.core->modeKey(1), "F1Md");
}

TEST(SetFan, RefusesFansItCannotDriveBeforeWritingAnything) {
    using Keys = std::vector<std::pair<const char*, std::optional<float>>>;  // no value: the key is absent
    const std::string unreadable = "Fan 0 min/max RPM unreadable";
    const std::tuple<const char*, std::int64_t, Keys, std::string> cases[] = {
        {"apple-silicon-laptop", kMin64, {}, "Fan -9223372036854775808 isn't controllable on this Mac"},
        {"apple-silicon-laptop", 7, {}, "Fan 7 isn't controllable on this Mac"},
        // "F10Mn" and "F10Mx" are both cut to "F10M": one value, so the minimum is not below the maximum.
        {"desktop", 10, {{"F10M", 2000.0f}}, "Fan 10 min/max RPM unreadable"},
        {"desktop", 0, {{"F0Mn", std::nullopt}}, unreadable}, {"desktop", 0, {{"F0Mn", 3000.0f}, {"F0Mx", 3000.0f}}, unreadable},
        {"desktop", 0, {{"F0Mn", 4000.0f}, {"F0Mx", 3000.0f}}, unreadable}, {"desktop", 0, {{"F0Mn", NAN}}, unreadable},
        {"desktop", 0, {{"F0Mn", -INFINITY}}, unreadable}, {"desktop", 0, {{"F0Mn", 1000.0f}, {"F0Mx", 1e30f}}, unreadable},
    };
    for (const auto& [profile, fan, keys, message] : cases) {
        ModelCore model(profile);
        for (const auto& [key, value] : keys)
            EXPECT_FALSE(value ? model.machine.define(key, "flt ", floatBytes(*value)) : model.machine.setAbsent(key, true));
        model.machine.clearJournal();
        EXPECT_EQ(failureOf(model.core->setFan(fan, true, 2000)), message);
        EXPECT_TRUE(model.writes().empty()) << message;
    }
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
    EXPECT_EQ(intel.machine.read("F0Tg")->bytes, (std::vector<std::uint8_t>{0x2E, 0xE0}));
}

TEST(SetFan, ARefusedTargetWriteFailsWithTheFanBackToAutomatic) {
    ModelCore model("desktop");
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Tg", true));
    EXPECT_EQ(failureOf(model.core->setFan(0, true, 2000)), "Target-RPM write failed for fan 0");
    EXPECT_EQ(model.byte("F0Md"), 0);
}

TEST(SetAutomatic, ClearsModeThenTargetButNeverTheTargetOfAFanLeftManual) {
    ModelCore model("desktop");
    ASSERT_EQ(failureOf(model.core->setFan(0, true, 3000)), std::nullopt);
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->setFan(0, false, 1234)), std::nullopt);
    EXPECT_EQ(model.writes(), (Strings{"F0Md=00", "F0Tg=00000000"}));
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Md", true));
    ASSERT_FALSE(model.machine.setRefuseWrites("F0Tg", true));
    EXPECT_EQ(failureOf(model.core->setFan(0, false, 0)), std::nullopt) << "the mode reads automatic";
    // A manual fan at 0 rpm would stop.
    ModelCore held("desktop");
    ASSERT_EQ(failureOf(held.core->setFan(0, true, 3000)), std::nullopt);
    ASSERT_FALSE(held.machine.setRefuseWrites("F0Md", true));
    EXPECT_EQ(failureOf(held.core->setFan(0, false, 0)), "Fan 0 could not be set back to automatic");
    EXPECT_EQ(held.machine.read("F0Tg")->bytes, floatBytes(3000.0f));
}

TEST(SetAutomatic, LowersARaisedFtstOnlyWhenNoOtherFanIsManual) {
    ModelCore model;
    model.machine.setHoldTime(std::chrono::milliseconds(0));
    EXPECT_EQ(failureOf(model.core->setFan(1, false, 0)), std::nullopt);
    EXPECT_EQ(model.writes(), (Strings{"F1Md=00", "F1Tg=00000000"})) << "a lowered Ftst is left alone";
    ASSERT_EQ(failureOf(model.core->setFan(0, true, 3000)), std::nullopt);
    ASSERT_EQ(failureOf(model.core->setFan(1, true, 3000)), std::nullopt);
    EXPECT_EQ(failureOf(model.core->setFan(0, false, 0)), std::nullopt);
    EXPECT_EQ(model.byte("Ftst"), 1) << "fan 1 is still manual";
    EXPECT_EQ(model.byte("F0Md"), 0);
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
    const auto reset = [&](std::string_view absentKey) {
        if (!absentKey.empty()) {
            EXPECT_FALSE(model.machine.setAbsent(absentKey, true));
        }
        EXPECT_FALSE(model.machine.setNumber("Ftst", 1));
        model.machine.clearJournal();
        EXPECT_EQ(failureOf(model.core->resetAllToAuto()), std::nullopt);
        return model.writes();
    };
    EXPECT_EQ(reset(""), (Strings{"F0Md=00", "F0Tg=00000000", "F1Md=00", "F1Tg=00000000", "Ftst=00"}));
    EXPECT_EQ(reset("F0Md"), (Strings{"F1Md=00", "F1Tg=00000000", "Ftst=00"}));
    EXPECT_EQ(reset("FNum"), Strings{"Ftst=00"}) << "an unreadable fan count still lowers Ftst";
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->resetAllToAuto()), std::nullopt);
    EXPECT_TRUE(model.writes().empty()) << "a lowered Ftst is not written again";
}

// The model behind a user client whose calls numbered [failFrom, failTo) fail
// as a stalled or dropped connection would.
struct FailingCalls final : platform::SMCUserClient {
    explicit FailingCalls(smcsim::Machine& machine) : model(machine, nullptr) {}
    platform::IOReturn callStructMethod(std::uint32_t selector, const platform::SMCStructBytes& input,
                                        platform::SMCStructBytes& output) override {
        const std::size_t call = calls++;
        if (call >= failFrom && call < failTo) return platform::IOReturn::notOpen;
        return model.callStructMethod(selector, input, output);
    }
    smcsim::ModelUserClient model;
    std::size_t calls = 0, failFrom = 0, failTo = 0;
};

TEST(ResetAllToAuto, RetriesAnyFailedCallReadsTheModeBackAndReportsWhatStayedManual) {
    // Both fans manual, then a hand-back whose calls [failFrom, failTo) fail; gives the calls it made.
    const auto handBack = [](std::size_t failFrom, std::size_t failTo) {
        ModelCore model;
        model.machine.setHoldTime(std::chrono::milliseconds(0));
        for (const std::int64_t fan : {0, 1}) EXPECT_EQ(failureOf(model.core->setFan(fan, true, 3000)), std::nullopt);
        auto client = std::make_unique<FailingCalls>(model.machine);
        auto& calls = *client;
        std::tie(calls.failFrom, calls.failTo) = std::pair{failFrom, failTo};
        SMCFanCore core(std::move(client), model.clock);
        EXPECT_EQ(failureOf(core.resetAllToAuto()), std::nullopt) << failFrom;
        for (const auto* key : {"F0Md", "F1Md", "Ftst"}) EXPECT_EQ(model.byte(key), 0) << key << failFrom;
        for (const auto* key : {"F0Tg", "F1Tg"}) EXPECT_EQ(model.machine.read(key)->bytes, floatBytes(0)) << key << failFrom;
        return calls.calls;
    };
    const std::size_t cleanCalls = handBack(0, 0);
    // Two failed calls in a row cost a step at most two of its attempts.
    for (std::size_t first = 0; first < cleanCalls; ++first) handBack(first, first + 2);

    ModelCore gone("desktop"), refused("desktop");
    auto dead = std::make_unique<FailingCalls>(gone.machine);
    dead->failTo = SIZE_MAX;
    EXPECT_EQ(failureOf(SMCFanCore(std::move(dead), gone.clock).resetAllToAuto()), "SMC unavailable");
    ASSERT_EQ(failureOf(refused.core->setFan(0, true, 3000)), std::nullopt);
    ASSERT_FALSE(refused.machine.setRefuseWrites("F0Md", true));
    EXPECT_EQ(failureOf(refused.core->resetAllToAuto()), "Fan 0 could not be set back to automatic");
    EXPECT_EQ(refused.machine.read("F0Tg")->bytes, floatBytes(3000.0f)) << "a fan left manual keeps its target";
}

}  // namespace
}  // namespace smcd
