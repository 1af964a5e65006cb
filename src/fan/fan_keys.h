#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fan/four_char_code.h"

namespace smcd {

inline constexpr std::string_view kFanCountKey = "FNum";
inline constexpr std::string_view kFanUnlockKey = "Ftst";

inline constexpr std::string_view kFanActualSuffix = "Ac";
inline constexpr std::string_view kFanMinimumSuffix = "Mn";
inline constexpr std::string_view kFanMaximumSuffix = "Mx";
inline constexpr std::string_view kFanTargetSuffix = "Tg";
inline constexpr std::string_view kFanModeSuffix = "Md";
inline constexpr std::string_view kFanModeSuffixLowerCase = "md";

// "F", the index in decimal (with its sign), then the suffix: fanKey(0, "Tg") is "F0Tg".
inline std::string fanKey(std::int64_t index, std::string_view suffix) {
    return "F" + std::to_string(index) + std::string(suffix);
}

inline std::uint32_t fanKeyCode(std::int64_t index, std::string_view suffix) {
    return fourCharCode(fanKey(index, suffix));
}

// How messages name a fan: "Fan 0".
inline std::string fanLabel(std::int64_t index) { return "Fan " + std::to_string(index); }

}  // namespace smcd
