#pragma once

// Framing of the AppleSMC stand-in socket. A struct call is one request
// frame (selector, then the 80-byte block) answered by one answer frame
// (IOReturn code, then the 80-byte block). Integers are little-endian.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/smc/smc_user_client.h"

namespace smcd::platform {

// Where the stand-in for the kernel's AppleSMC service listens.
inline constexpr const char* kAppleSMCSocketPath = "/var/run/AppleSMC.socket";

inline constexpr std::size_t kSMCFrameHeaderSize = 4;
inline constexpr std::size_t kSMCFrameSize = kSMCFrameHeaderSize + kSMCStructSize;

inline void storeLittleEndian32(std::span<std::uint8_t, 4> out, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t loadLittleEndian32(std::span<const std::uint8_t, 4> in) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) value = (value << 8) | in[i];
    return value;
}

}  // namespace smcd::platform
