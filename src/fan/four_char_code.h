#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace smcd {

// A key text's 32-bit code: its first four UTF-8 bytes, big-endian. Longer
// texts are cut, so "F10Mn" and "F10Mx" share the code of "F10M".
constexpr std::uint32_t fourCharCode(std::string_view text) {
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < text.size() && i < 4; ++i) {
        code = (code << 8) | static_cast<std::uint8_t>(text[i]);
    }
    return code;
}

}  // namespace smcd
