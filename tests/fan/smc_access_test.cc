// The SMC access layer against the controller model: the exact blocks it
// sends and how it reads answers.

#include <gtest/gtest.h>

#include "fan/four_char_code.h"
#include "fan/smc_param_block.h"
#include "support/model_core.h"

namespace smcd {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(FourCharCode, PacksTheFirstFourBytesBigEndianAndUnsigned) {
    // Two-digit fan indices: only "F" and three more bytes count; "é" is C3 A9 in UTF-8.
    for (const auto& [text, code] : {std::pair{"FNum", 0x464E756Du}, {"F10Md", 0x4631304Du}, {"F", 0x46u}, {"", 0u},
                                     {"\xC3\xA9", 0xC3A9u}})
        EXPECT_EQ(fourCharCode(text), code) << text;
}

// A core on a model of the default laptop, with every sent block recorded.
struct AccessLayer : ::testing::Test, test::ModelCore {};

TEST_F(AccessLayer, ReadKeyAsksForInformationThenTheBytes) {
    const auto value = core->readKey(fourCharCode("FNum"));
    ASSERT_TRUE(value);
    EXPECT_EQ(Bytes(value->bytes().begin(), value->bytes().end()), Bytes{2});
    EXPECT_EQ(value->size, 1);
    EXPECT_EQ(value->typeCode, fourCharCode("ui8 "));

    // Key information (command 9), then a read (5) that carries size, type and
    // attributes from the first answer.
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], (SMCParamBlock{.key = fourCharCode("FNum"), .command = 9}.toBytes()));
    const SMCParamBlock read{.key = fourCharCode("FNum"), .size = 1, .typeCode = fourCharCode("ui8 "),
                             .attributes = smcsim::kAttributeReadable, .command = 5};
    EXPECT_EQ(sent[1], read.toBytes());
}

TEST_F(AccessLayer, UnreadableOrOddSizedKeysFail) {
    ASSERT_FALSE(machine.setReportedSize("F0Ac", 0));
    ASSERT_FALSE(machine.setReportedSize("F0Mx", 33));
    ASSERT_FALSE(machine.setAccess("F0Mn", false, true));
    // Odd sizes end at the key information; the model refuses the unreadable read.
    for (const auto& [key, blocks] : {std::pair{"F0Ac", 1u}, {"F0Mx", 1u}, {"F0Mn", 2u}}) {
        sent.clear();
        EXPECT_FALSE(core->readKey(fourCharCode(key))) << key;
        EXPECT_EQ(sent.size(), blocks) << key;
    }
    ASSERT_FALSE(machine.define("F0Ac", "ch8*", Bytes(32, 0x41)));
    ASSERT_FALSE(machine.setReportedSize("F0Ac", 32));
    const auto wide = core->readKey(fourCharCode("F0Ac"));
    ASSERT_TRUE(wide);
    EXPECT_EQ(Bytes(wide->bytes().begin(), wide->bytes().end()), Bytes(32, 0x41));
}

TEST_F(AccessLayer, AFailedOpenOrCallIsNotMistakenForAnAnswer) {
    EXPECT_EQ(SMCFanCore::open(std::make_unique<smcsim::ModelService>(machine, nullptr, false), clock), nullptr);
    ASSERT_TRUE(core->readKey(fourCharCode("FNum")));
    client->disconnect();
    // An all-zero block has result 0: only the call's own status tells failure.
    EXPECT_FALSE(core->smcCall(SMCParamBlock{}));
    EXPECT_FALSE(core->readKey(fourCharCode("FNum")));
    EXPECT_FALSE(core->writeKey(fourCharCode("Ftst"), Bytes{1}));
    EXPECT_TRUE(core->capabilities().empty());
}

TEST_F(AccessLayer, WriteSendsTheKeysSizeTypeAndAtMostThirtyTwoBytes) {
    // Four bytes to a one-byte key: the block says size 1 and carries the first.
    ASSERT_TRUE(core->writeKey(fourCharCode("Ftst"), Bytes{1, 0, 0, 0}));
    ASSERT_EQ(sent.size(), 2u);
    SMCParamBlock write{.key = fourCharCode("Ftst"), .size = 1, .typeCode = fourCharCode("ui8 "), .command = 6};
    write.payload.front() = 1;  // attributes are left 0 on a write
    EXPECT_EQ(sent[1], write.toBytes());

    ASSERT_FALSE(machine.define("BIGK", "ch8*", Bytes(32, 0)));
    Bytes many(40);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(core->writeKey(fourCharCode("BIGK"), many));
    EXPECT_EQ(machine.read("BIGK")->bytes, Bytes(many.begin(), many.begin() + 32));
}

TEST_F(AccessLayer, NumbersAreEncodedBySizeAlone) {
    const std::tuple<const char*, const char*, Bytes, std::optional<double>> reads[] = {
        {"TFP2", "fpe2", {0x17, 0x70}, 1500.0},
        {"TONE", "ui8 ", {0x05}, std::nullopt},
        {"TTRI", "ui24", {0x17, 0x70, 0xFF}, 1500.0},
        {"TEIG", "ch8*", {0x00, 0x40, 0x9C, 0x45, 0xFF, 0xFF, 0xFF, 0xFF}, 5000.0},
        {"TLIE", "fpe2", {0x00, 0x00, 0x20, 0x41}, 10.0},  // four bytes: a float, whatever the type
    };
    for (const auto& [key, type, bytes, number] : reads) {
        ASSERT_FALSE(machine.define(key, type, bytes));
        EXPECT_EQ(core->readNumber(fourCharCode(key)), number) << key;
    }
    // No negative or too large fpe2 value is written.
    EXPECT_FALSE(core->writeNumber(fourCharCode("TFP2"), -4.0f));
    EXPECT_FALSE(core->writeNumber(fourCharCode("TFP2"), 20000.0f));
    EXPECT_EQ(machine.writeCount("TFP2").attempts, 0u);
}

}  // namespace
}  // namespace smcd
