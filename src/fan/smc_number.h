#pragma once

// How fan speeds travel in key values. The size of a key decides its
// encoding: four or more bytes are a little-endian single-precision float,
// two or three bytes an unsigned big-endian fixed-point number with two
// fraction bits ("fpe2"), anything else is not a number.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace smcd {

std::optional<double> decodeSMCNumber(std::span<const std::uint8_t> bytes);

// The bytes of `value` for a key of `size` bytes; nothing when the value
// cannot be represented there (a one-byte key, or outside fpe2's range).
std::optional<std::vector<std::uint8_t>> encodeSMCNumber(float value, std::uint32_t size);

}  // namespace smcd
