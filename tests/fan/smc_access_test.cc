// The SMC access layer against the controller model: the exact blocks it
// sends, how it reads answers, and when it opens and closes the user client.

#include <gtest/gtest.h>

#include <cstring>

#include "fan/four_char_code.h"
#include "fan/smc_param_block.h"
#include "support/model_core.h"

namespace smcd {
namespace {

using test::failureOf;

using Bytes = std::vector<std::uint8_t>;
using platform::SMCStructBytes;

std::uint32_t load32(const SMCStructBytes& block, std::size_t offset) {
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

    SMCStructBytes expected{};
    const std::uint8_t image[][2] = {{0, 0x6D}, {1, 0x75}, {2, 0x4E}, {3, 0x46}, {28, 0x44}, {29, 0x33},
                                     {30, 0x22}, {31, 0x11}, {32, 0x20}, {33, 0x38}, {34, 0x69}, {35, 0x75},
                                     {36, 0xA5}, {40, 0x84}, {41, 0x7E}, {42, 9},    {48, 0xC1}, {79, 0xC2}};
    for (const auto& [offset, value] : image) expected[offset] = value;
    EXPECT_EQ(block.toBytes(), expected);
    EXPECT_EQ(SMCParamBlock::fromBytes(expected).toBytes(), expected);
    EXPECT_EQ(SMCParamBlock::fromBytes(expected).size, block.size);
}

TEST(FourCharCode, PacksTheFirstFourBytesBigEndian) {
    EXPECT_EQ(fourCharCode("FNum"), 0x464E756Du);
    // Two-digit fan indices: only "F" and three more bytes count.
    EXPECT_EQ(fourCharCode("F10Md"), fourCharCode("F10M"));
    EXPECT_EQ(fourCharCode("F"), 0x46u);
    EXPECT_EQ(fourCharCode(""), 0u);
    // Bytes above 0x7F are taken unsigned ("é" is C3 A9 in UTF-8).
    EXPECT_EQ(fourCharCode("\xC3\xA9"), 0xC3A9u);
}

// Passes every struct call on and keeps the exact bytes that were sent.
struct Recorder final : platform::SMCUserClient {
    Recorder(std::unique_ptr<platform::SMCUserClient> inner, std::vector<SMCStructBytes>& sent)
        : inner(std::move(inner)), sent(sent) {}
    platform::IOReturn callStructMethod(std::uint32_t selector, const SMCStructBytes& input,
                                        SMCStructBytes& output) override {
        sent.push_back(input);
        return inner->callStructMethod(selector, input, output);
    }
    std::unique_ptr<platform::SMCUserClient> inner;
    std::vector<SMCStructBytes>& sent;
};

// A core on a model of the default laptop, with every sent block recorded.
class AccessLayer : public ::testing::Test {
protected:
    AccessLayer() { machine.setDynamics(false); }
    std::unique_ptr<SMCFanCore> makeCore() {
        auto client = std::make_unique<smcsim::ModelUserClient>(machine, nullptr);
        model = client.get();
        return std::make_unique<SMCFanCore>(std::make_unique<Recorder>(std::move(client), sent), clock);
    }

    test::FakeClock clock;
    smcsim::Machine machine{smcsim::defaultProfile(), clock};
    std::vector<SMCStructBytes> sent;
    smcsim::ModelUserClient* model = nullptr;
    std::unique_ptr<SMCFanCore> core = makeCore();
};

TEST_F(AccessLayer, ReadKeyAsksForInformationThenTheBytes) {
    const auto value = core->readKey(fourCharCode("FNum"));
    ASSERT_TRUE(value);
    EXPECT_EQ(value->bytes, Bytes{2});
    EXPECT_EQ(value->size, 1);
    EXPECT_EQ(value->typeCode, fourCharCode("ui8 "));

    ASSERT_EQ(sent.size(), 2u);
    SMCStructBytes info{};
    std::memcpy(info.data(), "\x6D\x75\x4E\x46", 4);
    info[42] = 9;
    EXPECT_EQ(sent[0], info);
    // The second block carries size, type and attributes from the first answer.
    EXPECT_EQ(load32(sent[1], 28), 1u);
    EXPECT_EQ(load32(sent[1], 32), fourCharCode("ui8 "));
    EXPECT_EQ(sent[1][36], smcsim::kAttributeReadable);
    EXPECT_EQ(sent[1][42], 5);
}

TEST_F(AccessLayer, SizeZeroOrAboveThirtyTwoAndRefusalsReadAsAbsent) {
    for (const std::uint32_t size : {0u, 33u}) {
        sent.clear();
        ASSERT_FALSE(machine.setReportedSize("F0Ac", size));
        EXPECT_FALSE(core->readKey(fourCharCode("F0Ac"))) << size;
        EXPECT_EQ(sent.size(), 1u) << "no read may follow a key-info size of " << size;
    }
    ASSERT_FALSE(machine.setReportedSize("F0Ac", 32));
    ASSERT_FALSE(machine.define("F0Ac", "ch8*", Bytes(32, 0x41)));
    EXPECT_EQ(core->readKey(fourCharCode("F0Ac"))->bytes, Bytes(32, 0x41));

    EXPECT_FALSE(core->readKey(fourCharCode("ZZZZ")));  // not found
    ASSERT_FALSE(machine.setAccess("F0Mn", false, true));
    EXPECT_FALSE(core->readKey(fourCharCode("F0Mn")));  // not readable
}

TEST_F(AccessLayer, AFailedCallIsNotMistakenForAZeroAnswer) {
    ASSERT_TRUE(core->readKey(fourCharCode("FNum")));
    model->disconnect();
    // An all-zero block has result 0: only the call's own status tells failure.
    EXPECT_FALSE(core->smcCall(SMCParamBlock{}));
    EXPECT_FALSE(core->readKey(fourCharCode("FNum")));
    EXPECT_FALSE(core->writeKey(fourCharCode("Ftst"), Bytes{1}));
    EXPECT_EQ(machine.value("Ftst"), 0.0);
    EXPECT_TRUE(core->capabilities().empty());
    EXPECT_EQ(failureOf(core->setFan(0, true, 3000)), "Fan 0 isn't controllable on this Mac");
    EXPECT_EQ(failureOf(core->resetAllToAuto()), std::nullopt);
}

TEST_F(AccessLayer, WriteSendsTheKeysSizeTypeAndAtMostThirtyTwoBytes) {
    // Four bytes to a one-byte key: the block says size 1 and carries the first.
    ASSERT_TRUE(core->writeKey(fourCharCode("Ftst"), Bytes{1, 0, 0, 0}));
    ASSERT_EQ(sent.size(), 2u);
    const auto& block = sent[1];
    EXPECT_EQ(load32(block, 0), fourCharCode("Ftst"));
    EXPECT_EQ(load32(block, 28), 1u);
    EXPECT_EQ(load32(block, 32), fourCharCode("ui8 "));
    EXPECT_EQ(block[36], 0) << "attributes are left 0 on a write";
    EXPECT_EQ(block[42], 6);
    EXPECT_EQ(block[48], 1);
    EXPECT_EQ(machine.read("Ftst")->bytes, Bytes{1});

    ASSERT_FALSE(machine.define("BIGK", "ch8*", Bytes(32, 0)));
    Bytes many(40);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(core->writeKey(fourCharCode("BIGK"), many));
    EXPECT_EQ(machine.read("BIGK")->bytes, Bytes(many.begin(), many.begin() + 32));
}

TEST_F(AccessLayer, WriteFailsOnAbsentUnwritableOrRefusingKeys) {
    EXPECT_FALSE(core->writeKey(fourCharCode("NoSu"), Bytes{1}));
    EXPECT_EQ(sent.size(), 1u) << "no write after failed key information";
    ASSERT_FALSE(machine.setRefuseWrites("F0Tg", true));
    EXPECT_FALSE(core->writeKey(fourCharCode("F0Tg"), Bytes{0, 0, 0, 0}));
    ASSERT_FALSE(machine.setAccess("F0Tg", true, false));
    ASSERT_FALSE(machine.setRefuseWrites("F0Tg", false));
    EXPECT_FALSE(core->writeKey(fourCharCode("F0Tg"), Bytes{0, 0, 0, 0}));
}

TEST_F(AccessLayer, NumbersAreEncodedBySizeAlone) {
    const std::tuple<const char*, const char*, Bytes, std::optional<double>> reads[] = {
        {"TFLT", "flt ", {0x00, 0x00, 0x80, 0x3F}, 1.0},
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
    ASSERT_FALSE(machine.setAbsent("FNum", true));
    EXPECT_FALSE(core->readNumber(fourCharCode("FNum")));

    EXPECT_TRUE(core->writeNumber(fourCharCode("TFP2"), 1500.25f));
    EXPECT_EQ(machine.read("TFP2")->bytes, (Bytes{0x17, 0x71}));
    // No negative or too large fpe2 value is written.
    EXPECT_FALSE(core->writeNumber(fourCharCode("TFP2"), -4.0f));
    EXPECT_FALSE(core->writeNumber(fourCharCode("TFP2"), 20000.0f));
    EXPECT_EQ(machine.writeCount("TFP2").attempts, 1u);
}

TEST(FtstAvailable, IsLearntOnceAndKept) {
    for (const auto& [profile, present] : {std::pair{"apple-silicon-laptop", true}, {"apple-silicon-newer", false}}) {
        test::ModelCore model(profile);
        EXPECT_EQ(model.core->ftstAvailable(), present) << profile;
        const auto calls = model.machine.callCount();
        ASSERT_FALSE(present ? model.machine.setAbsent("Ftst", true) : model.machine.define("Ftst", "ui8 ", {0}));
        EXPECT_EQ(model.core->ftstAvailable(), present) << profile;
        EXPECT_EQ(model.machine.callCount(), calls) << profile;
    }
}

TEST(SMCOpening, ReleasesTheServiceAtOnceAndClosesTheClientWithTheCore) {
    test::FakeClock clock;
    smcsim::Machine machine(smcsim::defaultProfile(), clock);
    EXPECT_EQ(SMCFanCore::open(nullptr, clock), nullptr);

    smcsim::ServiceCounters refused;
    EXPECT_EQ(SMCFanCore::open(std::make_unique<smcsim::ModelService>(machine, &refused, false), clock), nullptr);
    EXPECT_EQ(refused.opens, 0);
    EXPECT_EQ(refused.closes, 0);
    EXPECT_EQ(refused.releases, 1);

    smcsim::ServiceCounters counters;
    auto core = SMCFanCore::open(std::make_unique<smcsim::ModelService>(machine, &counters), clock);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(counters.opens, 1);
    EXPECT_EQ(counters.releases, 1);
    EXPECT_TRUE(core->readKey(fourCharCode("FNum")));
    EXPECT_EQ(counters.closes, 0);
    core.reset();
    EXPECT_EQ(counters.closes, 1);
}

}  // namespace
}  // namespace smcd
