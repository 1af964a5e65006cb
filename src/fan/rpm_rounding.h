#pragma once

// Speeds come from the controller as floating-point numbers and leave the
// daemon as 64-bit integers. A reading that is not a finite number inside
// the 64-bit range is no speed at all and is treated as unreadable, rather
// than converted with undefined behaviour.

#include <cstdint>
#include <optional>

namespace smcd {

// Rounded to the nearest whole number, halves away from zero; nothing when
// the value is NaN, infinite or out of range.
std::optional<std::int64_t> roundedRPM(double value);

// Truncated toward zero; nothing when the value is NaN, infinite or out of range.
std::optional<std::int64_t> truncatedRPM(double value);

}  // namespace smcd
