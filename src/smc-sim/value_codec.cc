#include "smc-sim/value_codec.h"

#include <bit>
#include <cmath>

namespace smcd::smcsim {
namespace {

std::optional<std::vector<std::uint8_t>> unsignedBigEndian(double value, std::size_t bytes) {
    const double largest = std::ldexp(1.0, static_cast<int>(8 * bytes)) - 1;
    if (!(value >= 0 && value <= largest)) return std::nullopt;
    auto whole = static_cast<std::uint64_t>(std::llround(value));
    std::vector<std::uint8_t> out(bytes);
    for (std::size_t i = bytes; i-- > 0; whole >>= 8) out[i] = static_cast<std::uint8_t>(whole);
    return out;
}

double fromBigEndian(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t whole = 0;
    for (const auto byte : bytes) whole = whole << 8 | byte;
    return static_cast<double>(whole);
}

}  // namespace

std::optional<std::size_t> typeSize(std::string_view type) {
    if (type == kTypeFloat) return 4;
    if (type == kTypeFixedPoint2 || type == kTypeUInt16) return 2;
    if (type == kTypeUInt8 || type == kTypeFlag) return 1;
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> encodeValue(std::string_view type, double value) {
    if (type == kTypeFloat) {
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                         static_cast<std::uint8_t>(bits >> 16),
                                         static_cast<std::uint8_t>(bits >> 24)};
    }
    if (type == kTypeFixedPoint2) return unsignedBigEndian(value * 4, 2);
    if (type == kTypeUInt16) return unsignedBigEndian(value, 2);
    if (type == kTypeUInt8) return unsignedBigEndian(value, 1);
    if (type == kTypeFlag) {
        if (value != 0 && value != 1) return std::nullopt;
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(value)};
    }
    return std::nullopt;
}

std::optional<double> decodeValue(std::string_view type, const std::vector<std::uint8_t>& bytes) {
    const auto size = typeSize(type);
    if (!size || *size != bytes.size()) return std::nullopt;
    if (type == kTypeFloat) {
        const std::uint32_t bits = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
        return static_cast<double>(std::bit_cast<float>(bits));
    }
    if (type == kTypeFixedPoint2) return fromBigEndian(bytes) / 4;
    return fromBigEndian(bytes);
}

std::uint32_t codeOf(std::string_view fourChars) {
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        code = code << 8 | (i < fourChars.size() ? static_cast<std::uint8_t>(fourChars[i]) : std::uint8_t{' '});
    }
    return code;
}

std::string textOf(std::uint32_t code) {
    std::string text(4, ' ');
    for (std::size_t i = 0; i < 4; ++i) text[i] = static_cast<char>(code >> (8 * (3 - i)));
    return text;
}

}  // namespace smcd::smcsim
