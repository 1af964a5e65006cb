#include "fan/rpm_rounding.h"

#include <cmath>

namespace smcd {
namespace {

// -2^63 is a double exactly; 2^63 is the first value past the range.
constexpr double kLowest = -9223372036854775808.0;
constexpr double kPastHighest = 9223372036854775808.0;

std::optional<std::int64_t> wholeNumber(double whole) {
    if (!(whole >= kLowest && whole < kPastHighest)) return std::nullopt;  // also NaN
    return static_cast<std::int64_t>(whole);
}

}  // namespace

std::optional<std::int64_t> roundedRPM(double value) { return wholeNumber(std::round(value)); }

std::optional<std::int64_t> truncatedRPM(double value) { return wholeNumber(std::trunc(value)); }

}  // namespace smcd
