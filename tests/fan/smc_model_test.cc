// The simulator's value encodings, which the fan suites read and write through.

#include <gtest/gtest.h>

#include <cmath>

#include "smc-sim/value_codec.h"

namespace smcd::smcsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ValueCodec, EncodesAndDecodesEachTypeAsTheControllerDoes) {
    const std::tuple<std::string_view, double, std::optional<Bytes>> rows[] = {
        {kTypeFloat, 1.0, Bytes{0x00, 0x00, 0x80, 0x3F}}, {kTypeFixedPoint2, 6200.25, Bytes{0x60, 0xE1}},
        {kTypeUInt16, 0x1234, Bytes{0x12, 0x34}},         {kTypeUInt8, 255, Bytes{0xFF}},
        {kTypeFlag, 1, Bytes{0x01}},                      {kTypeUInt8, 256, std::nullopt},
        {kTypeUInt16, -1, std::nullopt},                  {kTypeFixedPoint2, 16384, std::nullopt},
        {kTypeFlag, 2, std::nullopt},                     {kTypeUInt8, std::nan(""), std::nullopt},
        {"ch8*", 1, std::nullopt},
    };
    for (const auto& [type, value, bytes] : rows) {
        EXPECT_EQ(encodeValue(type, value), bytes) << type << " " << value;
        if (bytes) {
            EXPECT_EQ(decodeValue(type, *bytes), value) << type;
        }
    }
    EXPECT_EQ(decodeValue(kTypeFloat, {0x00, 0x00}), std::nullopt);
    EXPECT_EQ(decodeValue(kTypeUInt8, {1, 2}), std::nullopt);
}

}  // namespace
}  // namespace smcd::smcsim
