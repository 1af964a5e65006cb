#include "fan/smc_number.h"

#include <bit>
#include <cmath>

namespace smcd {
namespace {

constexpr double kFpe2Scale = 4.0;
constexpr double kFpe2Largest = 65535.0 / kFpe2Scale;

}  // namespace

std::optional<double> decodeSMCNumber(std::span<const std::uint8_t> bytes) {
    if (bytes.size() >= 4) {
        const std::uint32_t bits = static_cast<std::uint32_t>(bytes[0]) |
                                   static_cast<std::uint32_t>(bytes[1]) << 8 |
                                   static_cast<std::uint32_t>(bytes[2]) << 16 |
                                   static_cast<std::uint32_t>(bytes[3]) << 24;
        return static_cast<double>(std::bit_cast<float>(bits));
    }
    if (bytes.size() >= 2) {
        const unsigned fixed = static_cast<unsigned>(bytes[0]) << 8 | bytes[1];
        return fixed / kFpe2Scale;
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> encodeSMCNumber(float value, std::uint32_t size) {
    if (size >= 4) {
        const auto bits = std::bit_cast<std::uint32_t>(value);
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                                         static_cast<std::uint8_t>(bits >> 16),
                                         static_cast<std::uint8_t>(bits >> 24)};
    }
    if (size >= 2) {
        // A float's bytes in a two-byte key would be read back as a
        // different speed, so fpe2 keys get their own encoding.
        if (!(value >= 0.0f && value <= kFpe2Largest)) return std::nullopt;
        const auto fixed = static_cast<std::uint16_t>(std::lround(static_cast<double>(value) * kFpe2Scale));
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(fixed >> 8), static_cast<std::uint8_t>(fixed)};
    }
    return std::nullopt;
}

}  // namespace smcd
