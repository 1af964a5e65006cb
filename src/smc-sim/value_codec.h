#pragma once

// The controller's value types and their byte encodings.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smcd::smcsim {

inline constexpr std::string_view kTypeFloat = "flt ";       // 4 bytes, little-endian IEEE single
inline constexpr std::string_view kTypeFixedPoint2 = "fpe2";  // 2 bytes, big-endian, value * 4
inline constexpr std::string_view kTypeUInt8 = "ui8 ";
inline constexpr std::string_view kTypeUInt16 = "ui16";       // big-endian
inline constexpr std::string_view kTypeFlag = "flag";

// Byte size of a known type; nothing for a type the model cannot encode.
std::optional<std::size_t> typeSize(std::string_view type);

// `value` in `type`'s bytes; nothing when the type is unknown or the value
// does not fit (negative or too large for an unsigned type, NaN for an integer).
std::optional<std::vector<std::uint8_t>> encodeValue(std::string_view type, double value);

// The number held by `bytes` of `type`; nothing when the type is unknown or
// the byte count is not the type's.
std::optional<double> decodeValue(std::string_view type, const std::vector<std::uint8_t>& bytes);

// Four-character codes as the controller sends them: big-endian in a 32-bit number.
std::uint32_t codeOf(std::string_view fourChars);
std::string textOf(std::uint32_t code);

}  // namespace smcd::smcsim
