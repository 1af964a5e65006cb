// The SMC access layer against the controller model: the exact blocks it
// sends, how it reads answers, and when it opens and closes the user client.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "fan/four_char_code.h"
#include "fan/smc_fan_core.h"
#include "fan/smc_param_block.h"
#include "smc-sim/machine.h"
#include "smc-sim/model_service.h"
#include "smc-sim/profiles.h"
#include "support/fake_clock.h"
#include "support/recording_user_client.h"

namespace smcd {
namespace {

using smcsim::Machine;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t load32(const platform::SMCStructBytes& block, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, block.data() + offset, 4);
    return value;
}

TEST(SMCParamBlock, LaysOutEveryFieldAtItsOffset) {
    SMCParamBlock block;
    block.key = 0x464E756D;
    block.size = 0x11223344;
    block.typeCode = 0x75693820;  // "ui8 "
    block.attributes = 0xA5;
    block.result = 0x84;
    block.status = 0x7E;
    block.command = 9;
    block.payload.front() = 0xC1;
    block.payload.back() = 0xC2;

    const auto bytes = block.toBytes();
    platform::SMCStructBytes expected{};
    const std::uint8_t image[][2] = {{0, 0x6D}, {1, 0x75}, {2, 0x4E}, {3, 0x46}, {28, 0x44}, {29, 0x33},
                                     {30, 0x22}, {31, 0x11}, {32, 0x20}, {33, 0x38}, {34, 0x69}, {35, 0x75},
                                     {36, 0xA5}, {40, 0x84}, {41, 0x7E}, {42, 9},    {48, 0xC1}, {79, 0xC2}};
    for (const auto& [offset, value] : image) expected[offset] = value;
    EXPECT_EQ(bytes, expected);

    const auto back = SMCParamBlock::fromBytes(bytes);
    EXPECT_EQ(back.key, block.key);
    EXPECT_EQ(back.size, block.size);
    EXPECT_EQ(back.typeCode, block.typeCode);
    EXPECT_EQ(back.attributes, block.attributes);
    EXPECT_EQ(back.result, block.result);
    EXPECT_EQ(back.command, block.command);
    EXPECT_EQ(back.payload, block.payload);
}

TEST(FourCharCode, PacksTheFirstFourBytesBigEndian) {
    EXPECT_EQ(fourCharCode("FNum"), 0x464E756Du);
    EXPECT_EQ(fourCharCode("Ftst"), 0x46747374u);
    // Two-digit fan indices: only "F" and three more bytes count.
    EXPECT_EQ(fourCharCode("F10Md"), fourCharCode("F10M"));
    EXPECT_EQ(fourCharCode("F12Mn"), fourCharCode("F12Mx"));
    EXPECT_EQ(fourCharCode("F-1Md"), fourCharCode("F-1M"));
    EXPECT_EQ(fourCharCode("F"), 0x46u);
    EXPECT_EQ(fourCharCode(""), 0u);
    // Bytes above 0x7F are taken unsigned ("é" is C3 A9 in UTF-8).
    EXPECT_EQ(fourCharCode("\xC3\xA9"), 0xC3A9u);
}

// A core on a model of the default laptop, with every sent block recorded.
class AccessLayer : public ::testing::Test {
protected:
    AccessLayer()
        : machine(smcsim::defaultProfile(), clock),
          core(std::make_unique<test::RecordingUserClient>(
                   std::make_unique<smcsim::ModelUserClient>(machine, nullptr), sent),
               clock) {
        machine.setDynamics(false);
    }

    test::FakeClock clock;
    Machine machine;
    std::vector<platform::SMCStructBytes> sent;
    SMCFanCore core;
};

TEST_F(AccessLayer, ReadKeyAsksForInformationThenTheBytes) {
    const auto value = core.readKey(fourCharCode("FNum"));
    ASSERT_TRUE(value);
    EXPECT_EQ(value->bytes, Bytes{2});
    EXPECT_EQ(value->size, 1);
    EXPECT_EQ(value->typeCode, fourCharCode("ui8 "));

    ASSERT_EQ(sent.size(), 2u);
    platform::SMCStructBytes info{};
    std::memcpy(info.data(), "\x6D\x75\x4E\x46", 4);
    info[42] = 9;
    EXPECT_EQ(sent[0], info);
    // The second block carries size, type and attributes from the first answer.
    EXPECT_EQ(load32(sent[1], 28), 1u);
    EXPECT_EQ(load32(sent[1], 32), fourCharCode("ui8 "));
    EXPECT_EQ(sent[1][36], smcsim::kAttributeReadable);
    EXPECT_EQ(sent[1][42], 5);
}

TEST_F(AccessLayer, SizeZeroOrAboveThirtyTwoReadsAsAbsent) {
    for (const std::uint32_t size : {0u, 33u}) {
        sent.clear();
        ASSERT_FALSE(machine.setReportedSize("F0Ac", size));
        EXPECT_FALSE(core.readKey(fourCharCode("F0Ac"))) << size;
        EXPECT_EQ(sent.size(), 1u) << "no read may follow a key-info size of " << size;
    }
    ASSERT_FALSE(machine.setReportedSize("F0Ac", 32));
    ASSERT_FALSE(machine.define("F0Ac", "ch8*", Bytes(32, 0x41)));
    EXPECT_EQ(core.readKey(fourCharCode("F0Ac"))->bytes, Bytes(32, 0x41));
}

TEST_F(AccessLayer, AnyRefusingAnswerYieldsNothing) {
    EXPECT_FALSE(core.readKey(fourCharCode("ZZZZ")));  // not found
    ASSERT_FALSE(machine.setAccess("F0Mn", false, true));
    EXPECT_FALSE(core.readKey(fourCharCode("F0Mn")));  // not readable
    ASSERT_FALSE(machine.setAbsent("FNum", true));
    EXPECT_FALSE(core.readNumber(fourCharCode("FNum")));
}

TEST(AccessLayerTransport, AFailedCallIsNotMistakenForAZeroAnswer) {
    test::FakeClock clock;
    Machine machine(smcsim::defaultProfile(), clock);
    auto client = std::make_unique<smcsim::ModelUserClient>(machine, nullptr);
    auto* model = client.get();
    SMCFanCore core(std::move(client), clock);
    ASSERT_TRUE(core.readKey(fourCharCode("FNum")));

    model->disconnect();
    // An all-zero block has result 0: only the call's own status tells failure.
    EXPECT_FALSE(core.smcCall(SMCParamBlock{}));
    EXPECT_FALSE(core.readKey(fourCharCode("FNum")));
    EXPECT_FALSE(core.writeKey(fourCharCode("Ftst"), Bytes{1}));
    EXPECT_EQ(machine.value("Ftst"), 0.0);
}

TEST_F(AccessLayer, WritingOneByteSendsTheKeysSizeAndTheByteFirst) {
    ASSERT_TRUE(core.writeKey(fourCharCode("Ftst"), Bytes{1}));
    ASSERT_EQ(sent.size(), 2u);
    const auto& block = sent[1];
    EXPECT_EQ(load32(block, 0), fourCharCode("Ftst"));
    EXPECT_EQ(load32(block, 28), 1u);
    EXPECT_EQ(load32(block, 32), fourCharCode("ui8 "));
    EXPECT_EQ(block[36], 0) << "attributes are left 0 on a write";
    EXPECT_EQ(block[42], 6);
    EXPECT_EQ(block[48], 1);
    EXPECT_TRUE(std::all_of(block.begin() + 49, block.end(), [](auto byte) { return byte == 0; }));
    EXPECT_EQ(machine.read("Ftst")->bytes, Bytes{1});
}

TEST_F(AccessLayer, WriteCarriesTheKeysSizeNotTheNumberOfBytesGiven) {
    // Four zero bytes to a one-byte key: the block says size 1.
    ASSERT_TRUE(core.writeKey(fourCharCode("Ftst"), Bytes{0, 0, 0, 0}));
    EXPECT_EQ(load32(sent.back(), 28), 1u);

    // More than 32 bytes: the payload holds the first 32.
    ASSERT_FALSE(machine.define("BIGK", "ch8*", Bytes(32, 0)));
    Bytes many(40);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(core.writeKey(fourCharCode("BIGK"), many));
    EXPECT_EQ(machine.read("BIGK")->bytes, Bytes(many.begin(), many.begin() + 32));
}

TEST_F(AccessLayer, WriteStopsWhenKeyInformationFails) {
    EXPECT_FALSE(core.writeKey(fourCharCode("NoSu"), Bytes{1}));
    EXPECT_EQ(sent.size(), 1u);
    ASSERT_FALSE(machine.setRefuseWrites("F0Tg", true));
    EXPECT_FALSE(core.writeKey(fourCharCode("F0Tg"), Bytes{0, 0, 0, 0}));
    ASSERT_FALSE(machine.setAccess("F0Tg", true, false));
    ASSERT_FALSE(machine.setRefuseWrites("F0Tg", false));
    EXPECT_FALSE(core.writeKey(fourCharCode("F0Tg"), Bytes{0, 0, 0, 0}));
}

TEST_F(AccessLayer, ReadNumberDecidesTheEncodingBySizeAlone) {
    ASSERT_FALSE(machine.define("TFLT", "flt ", {0x00, 0x00, 0x80, 0x3F}));
    ASSERT_FALSE(machine.define("TFP2", "fpe2", {0x17, 0x70}));
    ASSERT_FALSE(machine.define("TONE", "ui8 ", {0x05}));
    ASSERT_FALSE(machine.define("TTRI", "ui24", {0x17, 0x70, 0xFF}));
    ASSERT_FALSE(machine.define("TEIG", "ch8*", {0x00, 0x40, 0x9C, 0x45, 0xFF, 0xFF, 0xFF, 0xFF}));
    // The type code does not matter: an "fpe2" key of four bytes is a float.
    ASSERT_FALSE(machine.define("TLIE", "fpe2", {0x00, 0x00, 0x20, 0x41}));

    EXPECT_EQ(core.readNumber(fourCharCode("TFLT")), 1.0);
    EXPECT_EQ(core.readNumber(fourCharCode("TFP2")), 1500.0);
    EXPECT_EQ(core.readNumber(fourCharCode("TONE")), std::nullopt);
    EXPECT_EQ(core.readNumber(fourCharCode("TTRI")), 1500.0);
    EXPECT_EQ(core.readNumber(fourCharCode("TEIG")), 5000.0);
    EXPECT_EQ(core.readNumber(fourCharCode("TLIE")), 10.0);
    EXPECT_EQ(core.readNumber(fourCharCode("F0Mx")), 5348.0);
}

TEST_F(AccessLayer, WriteNumberEncodesForTheKeysSize) {
    ASSERT_FALSE(machine.define("TFP2", "fpe2", {0, 0}));
    ASSERT_FALSE(machine.define("TONE", "ui8 ", {0}));
    EXPECT_TRUE(core.writeNumber(fourCharCode("F0Tg"), 4000.0f));
    EXPECT_EQ(machine.read("F0Tg")->bytes, (Bytes{0x00, 0x00, 0x7A, 0x45}));
    EXPECT_TRUE(core.writeNumber(fourCharCode("TFP2"), 1500.0f));
    EXPECT_EQ(machine.read("TFP2")->bytes, (Bytes{0x17, 0x70}));
    // Nothing fits a one-byte key or a negative fpe2 value: nothing is written.
    const auto writesBefore = machine.writeCount("TONE").attempts + machine.writeCount("TFP2").attempts;
    EXPECT_FALSE(core.writeNumber(fourCharCode("TONE"), 3.0f));
    EXPECT_FALSE(core.writeNumber(fourCharCode("TFP2"), -4.0f));
    EXPECT_FALSE(core.writeNumber(fourCharCode("TFP2"), 20000.0f));
    EXPECT_EQ(machine.writeCount("TONE").attempts + machine.writeCount("TFP2").attempts, writesBefore);
}

TEST_F(AccessLayer, FtstAvailabilityIsLearntOnceAndKept) {
    const auto ftstInfoCalls = [&] {
        return std::count_if(sent.begin(), sent.end(),
                             [](const auto& block) { return load32(block, 0) == fourCharCode("Ftst") && block[42] == 9; });
    };
    EXPECT_TRUE(core.ftstAvailable());
    EXPECT_EQ(ftstInfoCalls(), 1);
    ASSERT_FALSE(machine.setAbsent("Ftst", true));
    EXPECT_TRUE(core.ftstAvailable());
    EXPECT_EQ(ftstInfoCalls(), 1);

    test::FakeClock clock2;
    Machine fanless(*smcsim::findProfile("apple-silicon-newer"), clock2);
    SMCFanCore other(std::make_unique<smcsim::ModelUserClient>(fanless, nullptr), clock2);
    EXPECT_FALSE(other.ftstAvailable());
    const auto calls = fanless.callCount();
    ASSERT_FALSE(fanless.define("Ftst", "ui8 ", {0}));
    EXPECT_FALSE(other.ftstAvailable());
    EXPECT_EQ(fanless.callCount(), calls);
}

TEST(SMCOpening, NoServiceOrARefusedOpenYieldsNoCoreAndClosesNothing) {
    test::FakeClock clock;
    Machine machine(smcsim::defaultProfile(), clock);
    EXPECT_EQ(SMCFanCore::open(nullptr, clock), nullptr);

    smcsim::ServiceCounters counters;
    EXPECT_EQ(SMCFanCore::open(std::make_unique<smcsim::ModelService>(machine, &counters, false), clock), nullptr);
    EXPECT_EQ(counters.opens, 0);
    EXPECT_EQ(counters.closes, 0);
    EXPECT_EQ(counters.releases, 1);
}

TEST(SMCOpening, ReleasesTheServiceAtOnceAndClosesTheClientWithTheCore) {
    test::FakeClock clock;
    Machine machine(smcsim::defaultProfile(), clock);
    smcsim::ServiceCounters counters;
    auto core = SMCFanCore::open(std::make_unique<smcsim::ModelService>(machine, &counters), clock);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(counters.opens, 1);
    EXPECT_EQ(counters.releases, 1);
    EXPECT_EQ(counters.closes, 0);
    EXPECT_TRUE(core->readKey(fourCharCode("FNum")));
    core.reset();
    EXPECT_EQ(counters.closes, 1);
}

}  // namespace
}  // namespace smcd
