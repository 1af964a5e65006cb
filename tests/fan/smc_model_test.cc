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

TEST(ValueCodec, EncodesAndDecodesEachTypeAsTheControllerDoes) {
    EXPECT_EQ(encodeValue(kTypeFloat, 1.0), (Bytes{0x00, 0x00, 0x80, 0x3F}));
    EXPECT_EQ(encodeValue(kTypeFixedPoint2, 6200.25), (Bytes{0x60, 0xE1}));
    EXPECT_EQ(encodeValue(kTypeUInt16, 0x1234), (Bytes{0x12, 0x34}));
    EXPECT_EQ(encodeValue(kTypeUInt8, 255), Bytes{0xFF});
    EXPECT_EQ(encodeValue(kTypeFlag, 1), Bytes{0x01});
    for (const auto& [type, value] : {std::pair{kTypeUInt8, 256.0}, {kTypeUInt16, -1.0}, {kTypeFixedPoint2, 16384.0},
                                      {kTypeFlag, 2.0}, {kTypeUInt8, std::nan("")}, {std::string_view("ch8*"), 1.0}}) {
        EXPECT_EQ(encodeValue(type, value), std::nullopt) << type << " " << value;
    }
    EXPECT_EQ(decodeValue(kTypeFixedPoint2, {0x60, 0xE1}), 6200.25);
    EXPECT_EQ(decodeValue(kTypeFloat, {0x00, 0x00, 0x7A, 0x45}), 4000.0);
    EXPECT_EQ(decodeValue(kTypeUInt16, {0x12, 0x34}), 0x1234);
    EXPECT_EQ(decodeValue(kTypeFloat, {0x00, 0x00}), std::nullopt);
    EXPECT_EQ(decodeValue(kTypeUInt8, {1, 2}), std::nullopt);
}

// One struct call with the block built by offsets, independently of the
// daemon's structure.
struct Answer {
    std::uint8_t result;
    std::uint32_t size;
    std::string type;
    std::uint8_t attributes;
    Bytes payload;
};

Answer call(Machine& machine, const std::string& key, std::uint8_t command, std::uint32_t size = 0, Bytes payload = {}) {
    platform::SMCStructBytes block{};
    const std::uint32_t code = codeOf(key);
    std::memcpy(block.data(), &code, 4);
    std::memcpy(block.data() + 28, &size, 4);
    block[42] = command;
    std::copy(payload.begin(), payload.end(), block.begin() + 48);
    const auto out = machine.handle(block);
    Answer answer{out[40], 0, {}, out[36], Bytes(out.begin() + 48, out.end())};
    std::uint32_t type = 0;
    std::memcpy(&answer.size, out.data() + 28, 4);
    std::memcpy(&type, out.data() + 32, 4);
    answer.type = textOf(type);
    return answer;
}

class Model : public ::testing::Test {
protected:
    test::FakeClock clock;
    Machine machine{defaultProfile(), clock};
};

TEST_F(Model, AnswersKeyInformationReadsAndUncheckedWrites) {
    const auto info = call(machine, "F0Mx", 9);
    EXPECT_EQ(info.result, 0);
    EXPECT_EQ(info.size, 4u);
    EXPECT_EQ(info.type, "flt ");
    EXPECT_EQ(info.attributes, kAttributeReadable);
    Bytes expected = *encodeValue(kTypeFloat, 5348);
    expected.resize(32);
    EXPECT_EQ(call(machine, "F0Mx", 5, 4).payload, expected);

    EXPECT_EQ(call(machine, "F1Tg", 9).attributes, kAttributeReadable | kAttributeWritable);
    // Targets are not range-checked.
    EXPECT_EQ(call(machine, "F1Tg", 6, 4, *encodeValue(kTypeFloat, 99999)).result, 0);
    EXPECT_EQ(machine.value("F1Tg"), 99999.0);
}

TEST_F(Model, RefusesWithTheControllersResultCodes) {
    EXPECT_EQ(call(machine, "NoSu", 9).result, 0x84);
    EXPECT_EQ(call(machine, "NoSu", 5, 1).result, 0x84);
    EXPECT_EQ(call(machine, "NoSu", 6, 1, {1}).result, 0x84);
    EXPECT_EQ(call(machine, "F0Ac", 6, 4, {0, 0, 0, 0}).result, 0x86);
    EXPECT_EQ(call(machine, "F0Mn", 5, 2).result, 0x87);
    EXPECT_EQ(call(machine, "F0Mn", 6, 8).result, 0x87);
    EXPECT_EQ(call(machine, "F0Mn", 1).result, 0x82);
    EXPECT_EQ(call(machine, "F0Mn", 0).result, 0x82);
    ASSERT_FALSE(machine.setAccess("F0Mn", false, true));
    EXPECT_EQ(call(machine, "F0Mn", 5, 4).result, 0x85);
    ASSERT_FALSE(machine.setRefuseWrites("F0Tg", true));
    EXPECT_EQ(call(machine, "F0Tg", 6, 4, {0, 0, 0x7A, 0x45}).result, 0x82);
    EXPECT_EQ(machine.value("F0Tg"), 0.0);
    ASSERT_FALSE(machine.setAbsent("F0Tg", true));
    EXPECT_EQ(call(machine, "F0Tg", 9).result, 0x84);
    ASSERT_FALSE(machine.setAbsent("F0Tg", false));
    EXPECT_EQ(call(machine, "F0Tg", 9).result, 0);
}

TEST_F(Model, TheThermalManagerHoldsTheFansUntilFtstHasBeenRaisedForTheHoldTime) {
    EXPECT_TRUE(machine.fansHeld());
    EXPECT_EQ(call(machine, "F0Md", 6, 1, {1}).result, 0x82);
    EXPECT_EQ(call(machine, "Ftst", 6, 1, {1}).result, 0);
    clock.advance(3499ms);
    EXPECT_EQ(call(machine, "F0Md", 6, 1, {1}).result, 0x82);
    // Raising it again does not restart the hold.
    EXPECT_EQ(call(machine, "Ftst", 6, 1, {1}).result, 0);
    clock.advance(1ms);
    EXPECT_FALSE(machine.fansHeld());
    EXPECT_EQ(call(machine, "F0Md", 6, 1, {1}).result, 0);
    EXPECT_EQ(call(machine, "F1Md", 6, 1, {1}).result, 0);

    // Lowering Ftst: the thermal manager takes both fans back.
    EXPECT_EQ(call(machine, "Ftst", 6, 1, {0}).result, 0);
    EXPECT_TRUE(machine.fansHeld());
    EXPECT_EQ(machine.read("F0Md")->bytes, Bytes{0});
    EXPECT_EQ(machine.read("F1Md")->bytes, Bytes{0});
    EXPECT_EQ(call(machine, "F0Md", 6, 1, {1}).result, 0x82);
}

TEST_F(Model, FansSpinTowardsTheTargetInManualModeAndTheThermalManagerInAutomatic) {
    ASSERT_FALSE(machine.setNumber("F1Ac", 1234.5));  // where the fan continues from
    clock.advance(10ms);
    EXPECT_NEAR(*machine.value("F1Ac"), 1234.5, 50);

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

    machine.setDynamics(false);
    ASSERT_FALSE(machine.setNumber("F1Ac", 1234.5));
    clock.advance(10s);
    EXPECT_EQ(machine.value("F1Ac"), 1234.5);
}

}  // namespace
}  // namespace smcd::smcsim
