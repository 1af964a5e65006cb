// The controller model on its own: encodings, answers to each command, the
// thermal manager's hold, and fan dynamics.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>

#include "smc-sim/machine.h"
#include "smc-sim/profiles.h"
#include "smc-sim/value_codec.h"
#include "support/fake_clock.h"

namespace smcd::smcsim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

TEST(ValueCodec, EncodesEachTypeAsTheControllerDoes) {
    EXPECT_EQ(encodeValue(kTypeFloat, 1.0), (Bytes{0x00, 0x00, 0x80, 0x3F}));
    EXPECT_EQ(encodeValue(kTypeFixedPoint2, 1500.0), (Bytes{0x17, 0x70}));
    EXPECT_EQ(encodeValue(kTypeFixedPoint2, 6200.25), (Bytes{0x60, 0xE1}));
    EXPECT_EQ(encodeValue(kTypeUInt16, 0x1234), (Bytes{0x12, 0x34}));
    EXPECT_EQ(encodeValue(kTypeUInt8, 255), Bytes{0xFF});
    EXPECT_EQ(encodeValue(kTypeFlag, 1), Bytes{0x01});

    EXPECT_EQ(encodeValue(kTypeUInt8, 256), std::nullopt);
    EXPECT_EQ(encodeValue(kTypeUInt16, -1), std::nullopt);
    EXPECT_EQ(encodeValue(kTypeFixedPoint2, 16384), std::nullopt);
    EXPECT_EQ(encodeValue(kTypeFlag, 2), std::nullopt);
    EXPECT_EQ(encodeValue(kTypeUInt8, std::nan("")), std::nullopt);
    EXPECT_EQ(encodeValue("ch8*", 1), std::nullopt);
}

TEST(ValueCodec, DecodesOnlyTheTypesOwnSize) {
    EXPECT_EQ(decodeValue(kTypeFixedPoint2, {0x60, 0xE1}), 6200.25);
    EXPECT_EQ(decodeValue(kTypeFloat, {0x00, 0x00, 0x7A, 0x45}), 4000.0);
    EXPECT_EQ(decodeValue(kTypeUInt16, {0x12, 0x34}), 0x1234);
    EXPECT_EQ(decodeValue(kTypeFloat, {0x00, 0x00}), std::nullopt);
    EXPECT_EQ(decodeValue(kTypeUInt8, {1, 2}), std::nullopt);
}

TEST(ValueCodec, KeyCodesAreBigEndianText) {
    EXPECT_EQ(codeOf("FNum"), 0x464E756Du);
    EXPECT_EQ(textOf(0x464E756D), "FNum");
    EXPECT_EQ(textOf(codeOf("flt")), "flt ");
}

TEST(Profiles, OfferTheRequiredMachinesWithTheLaptopFirst) {
    std::vector<std::string> names;
    for (const auto& profile : profiles()) names.push_back(profile.name);
    EXPECT_EQ(names, (std::vector<std::string>{"apple-silicon-laptop", "apple-silicon-newer", "intel-laptop",
                                               "desktop", "fanless-laptop"}));
    EXPECT_EQ(&defaultProfile(), findProfile("apple-silicon-laptop"));
    EXPECT_EQ(findProfile("Apple-Silicon-Laptop"), nullptr);
}

// A raw struct-call helper: builds the block by offsets, independently of
// the daemon's structure.
struct Call {
    std::string key;
    std::uint8_t command;
    std::uint32_t size = 0;
    Bytes payload = {};
};

struct Answer {
    std::uint8_t result;
    std::uint32_t size;
    std::string type;
    std::uint8_t attributes;
    Bytes payload;
};

Answer call(Machine& machine, const Call& c) {
    platform::SMCStructBytes block{};
    const std::uint32_t code = codeOf(c.key);
    std::memcpy(block.data(), &code, 4);
    std::memcpy(block.data() + 28, &c.size, 4);
    block[42] = c.command;
    std::copy(c.payload.begin(), c.payload.end(), block.begin() + 48);
    const auto out = machine.handle(block);
    Answer answer{};
    answer.result = out[40];
    std::memcpy(&answer.size, out.data() + 28, 4);
    std::uint32_t type = 0;
    std::memcpy(&type, out.data() + 32, 4);
    answer.type = textOf(type);
    answer.attributes = out[36];
    answer.payload.assign(out.begin() + 48, out.end());
    return answer;
}

class Model : public ::testing::Test {
protected:
    test::FakeClock clock;
    Machine machine{defaultProfile(), clock};
};

TEST_F(Model, AnswersKeyInformationReadsAndWrites) {
    const auto info = call(machine, {"F0Mx", 9});
    EXPECT_EQ(info.result, 0);
    EXPECT_EQ(info.size, 4u);
    EXPECT_EQ(info.type, "flt ");
    EXPECT_EQ(info.attributes, kAttributeReadable);

    const auto value = call(machine, {"F0Mx", 5, 4});
    EXPECT_EQ(value.result, 0);
    EXPECT_EQ(Bytes(value.payload.begin(), value.payload.begin() + 4), *encodeValue(kTypeFloat, 5348));
    EXPECT_TRUE(std::all_of(value.payload.begin() + 4, value.payload.end(), [](auto b) { return b == 0; }));

    EXPECT_EQ(call(machine, {"F1Tg", 9}).attributes, kAttributeReadable | kAttributeWritable);
    EXPECT_EQ(call(machine, {"F1Tg", 6, 4, {0x00, 0x00, 0x7A, 0x45}}).result, 0);
    EXPECT_EQ(machine.value("F1Tg"), 4000.0);
}

TEST_F(Model, RefusesWithTheControllersResultCodes) {
    EXPECT_EQ(call(machine, {"NoSu", 9}).result, 0x84);
    EXPECT_EQ(call(machine, {"NoSu", 5, 1}).result, 0x84);
    EXPECT_EQ(call(machine, {"NoSu", 6, 1, {1}}).result, 0x84);
    EXPECT_EQ(call(machine, {"F0Ac", 6, 4, {0, 0, 0, 0}}).result, 0x86);
    EXPECT_EQ(call(machine, {"F0Mn", 5, 2}).result, 0x87);
    EXPECT_EQ(call(machine, {"F0Mn", 6, 8}).result, 0x87);
    EXPECT_EQ(call(machine, {"F0Mn", 1}).result, 0x82);
    EXPECT_EQ(call(machine, {"F0Mn", 0}).result, 0x82);
    ASSERT_FALSE(machine.setAccess("F0Mn", false, true));
    EXPECT_EQ(call(machine, {"F0Mn", 5, 4}).result, 0x85);
    ASSERT_FALSE(machine.setRefuseWrites("F0Tg", true));
    EXPECT_EQ(call(machine, {"F0Tg", 6, 4, {0, 0, 0x7A, 0x45}}).result, 0x82);
    EXPECT_EQ(machine.value("F0Tg"), 0.0);
    ASSERT_FALSE(machine.setAbsent("F0Tg", true));
    EXPECT_EQ(call(machine, {"F0Tg", 9}).result, 0x84);
    ASSERT_FALSE(machine.setAbsent("F0Tg", false));
    EXPECT_EQ(call(machine, {"F0Tg", 9}).result, 0);
}

TEST_F(Model, ReportsAnOverriddenSizeInKeyInformationOnly) {
    ASSERT_FALSE(machine.setReportedSize("F0Ac", 33));
    EXPECT_EQ(call(machine, {"F0Ac", 9}).size, 33u);
    EXPECT_EQ(call(machine, {"F0Ac", 5, 4}).result, 0);
    ASSERT_FALSE(machine.setReportedSize("F0Ac", std::nullopt));
    EXPECT_EQ(call(machine, {"F0Ac", 9}).size, 4u);
}

TEST_F(Model, TargetsAreNotRangeChecked) {
    EXPECT_EQ(call(machine, {"F0Tg", 6, 4, *encodeValue(kTypeFloat, 99999)}).result, 0);
    EXPECT_EQ(machine.value("F0Tg"), 99999.0);
}

TEST_F(Model, TheThermalManagerHoldsTheFansUntilFtstHasBeenRaisedForTheHoldTime) {
    EXPECT_TRUE(machine.fansHeld());
    EXPECT_EQ(call(machine, {"F0Md", 6, 1, {1}}).result, 0x82);
    EXPECT_EQ(call(machine, {"Ftst", 6, 1, {1}}).result, 0);
    clock.advance(3499ms);
    EXPECT_EQ(call(machine, {"F0Md", 6, 1, {1}}).result, 0x82);
    // Raising it again does not restart the hold.
    EXPECT_EQ(call(machine, {"Ftst", 6, 1, {1}}).result, 0);
    clock.advance(1ms);
    EXPECT_FALSE(machine.fansHeld());
    EXPECT_EQ(call(machine, {"F0Md", 6, 1, {1}}).result, 0);
    EXPECT_EQ(call(machine, {"F1Md", 6, 1, {1}}).result, 0);

    // Lowering Ftst: the thermal manager takes both fans back.
    EXPECT_EQ(call(machine, {"Ftst", 6, 1, {0}}).result, 0);
    EXPECT_TRUE(machine.fansHeld());
    EXPECT_EQ(machine.read("F0Md")->bytes, Bytes{0});
    EXPECT_EQ(machine.read("F1Md")->bytes, Bytes{0});
    EXPECT_EQ(call(machine, {"F0Md", 6, 1, {1}}).result, 0x82);
}

TEST_F(Model, TheHoldTimeCanBeChanged) {
    machine.setHoldTime(12s);
    EXPECT_EQ(machine.holdTime(), 12000ms);
    ASSERT_FALSE(machine.setNumber("Ftst", 1));
    clock.advance(11s);
    EXPECT_TRUE(machine.fansHeld());
    clock.advance(1s);
    EXPECT_FALSE(machine.fansHeld());
}

TEST(ModelProfiles, MachinesWithoutTheHoldAcceptModeWritesAtOnce) {
    test::FakeClock clock;
    Machine newer(*findProfile("apple-silicon-newer"), clock);
    EXPECT_FALSE(newer.fansHeld());
    EXPECT_EQ(call(newer, {"F1md", 6, 1, {1}}).result, 0);
    EXPECT_EQ(call(newer, {"Ftst", 9}).result, 0x84);
    EXPECT_EQ(call(newer, {"F1Md", 9}).result, 0x84);

    Machine intel(*findProfile("intel-laptop"), clock);
    EXPECT_EQ(call(intel, {"F0Mx", 9}).type, "fpe2");
    EXPECT_EQ(intel.value("F0Mx"), 6200.0);
    EXPECT_EQ(call(intel, {"F0Md", 9}).result, 0x84);
    EXPECT_EQ(call(intel, {"F0md", 9}).result, 0x84);

    Machine fanless(*findProfile("fanless-laptop"), clock);
    EXPECT_EQ(fanless.value("FNum"), 0.0);
    EXPECT_EQ(call(fanless, {"F0Ac", 9}).result, 0x84);
    EXPECT_EQ(call(fanless, {"Ftst", 9}).result, 0);
}

TEST_F(Model, FansSpinTowardsTheTargetInManualModeAndTheThermalManagerInAutomatic) {
    machine.setHoldTime(0ms);
    ASSERT_FALSE(machine.setNumber("Ftst", 1));
    ASSERT_FALSE(machine.setNumber("F0Md", 1));
    ASSERT_FALSE(machine.setNumber("F0Tg", 5000));
    const double start = *machine.value("F0Ac");
    clock.advance(500ms);
    const double halfway = *machine.value("F0Ac");
    EXPECT_GT(halfway, start);
    EXPECT_LT(halfway, 5000);
    clock.advance(20s);
    EXPECT_NEAR(*machine.value("F0Ac"), 5000, 1);

    // A target beyond the fan's range drives it to its maximum, no further.
    ASSERT_FALSE(machine.setNumber("F0Tg", 99999));
    clock.advance(60s);
    EXPECT_NEAR(*machine.value("F0Ac"), 5348, 1);

    ASSERT_FALSE(machine.setNumber("F0Md", 0));
    std::vector<double> seen;
    for (int i = 0; i < 10; ++i) {
        clock.advance(5s);
        seen.push_back(*machine.value("F0Ac"));
        EXPECT_GE(seen.back(), 1499);
        EXPECT_LT(seen.back(), 5348 - 1000) << "automatic speeds stay low when idle";
    }
    EXPECT_NE(*std::min_element(seen.begin(), seen.end()), *std::max_element(seen.begin(), seen.end()));
}

TEST_F(Model, AnActualSpeedSetByHandIsWhereTheFanContinuesFrom) {
    ASSERT_FALSE(machine.setNumber("F1Ac", 1234.5));
    EXPECT_EQ(machine.value("F1Ac"), 1234.5);
    clock.advance(10ms);
    const double next = *machine.value("F1Ac");
    EXPECT_NEAR(next, 1234.5, 50);
    machine.setDynamics(false);
    ASSERT_FALSE(machine.setNumber("F1Ac", 1234.5));
    clock.advance(10s);
    EXPECT_EQ(machine.value("F1Ac"), 1234.5);
}

TEST_F(Model, JournalsEveryCall) {
    call(machine, {"FNum", 9});
    call(machine, {"Ftst", 6, 1, {1, 9, 9}});
    const auto journal = machine.journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].key, "FNum");
    EXPECT_EQ(journal[0].command, 9);
    EXPECT_EQ(journal[1].written, Bytes{1});
    EXPECT_EQ(journal[1].result, SMCResult::success);
    EXPECT_EQ(machine.callCount(), 2u);
    EXPECT_EQ(machine.writeCount("Ftst").accepted, 1u);
    machine.clearJournal();
    EXPECT_TRUE(machine.journal().empty());
}

}  // namespace
}  // namespace smcd::smcsim
