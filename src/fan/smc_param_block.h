#pragma once

// The structure exchanged with the AppleSMC user client, byte for byte.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/smc/smc_user_client.h"

namespace smcd {

enum class SMCCommand : std::uint8_t {
    readBytes = 5,
    writeBytes = 6,
    readKeyInfo = 9,
};

inline constexpr std::size_t kSMCPayloadSize = 32;

struct SMCParamBlock {
    std::uint32_t key = 0;
    std::array<std::uint8_t, 6> reservedVersion{};
    std::array<std::uint8_t, 2> padding0{};
    std::array<std::uint8_t, 16> reservedLimits{};
    std::uint32_t size = 0;
    std::uint32_t typeCode = 0;
    std::uint8_t attributes = 0;
    std::array<std::uint8_t, 3> padding1{};
    std::uint8_t result = 0;
    std::uint8_t status = 0;
    std::uint8_t command = 0;
    std::uint8_t padding2 = 0;
    std::uint32_t reservedData = 0;
    std::array<std::uint8_t, kSMCPayloadSize> payload{};

    platform::SMCStructBytes toBytes() const {
        platform::SMCStructBytes bytes{};
        std::memcpy(bytes.data(), this, sizeof(*this));
        return bytes;
    }
    static SMCParamBlock fromBytes(const platform::SMCStructBytes& bytes) {
        SMCParamBlock block;
        std::memcpy(&block, bytes.data(), sizeof(block));
        return block;
    }
};

// The driver reads the block as the host lays it out; it is defined as
// little-endian, which every machine this runs on is.
static_assert(std::endian::native == std::endian::little);
static_assert(std::is_standard_layout_v<SMCParamBlock> && std::is_trivially_copyable_v<SMCParamBlock>);
static_assert(sizeof(SMCParamBlock) == platform::kSMCStructSize);
static_assert(offsetof(SMCParamBlock, key) == 0);
static_assert(offsetof(SMCParamBlock, reservedVersion) == 4);
static_assert(offsetof(SMCParamBlock, padding0) == 10);
static_assert(offsetof(SMCParamBlock, reservedLimits) == 12);
static_assert(offsetof(SMCParamBlock, size) == 28);
static_assert(offsetof(SMCParamBlock, typeCode) == 32);
static_assert(offsetof(SMCParamBlock, attributes) == 36);
static_assert(offsetof(SMCParamBlock, padding1) == 37);
static_assert(offsetof(SMCParamBlock, result) == 40);
static_assert(offsetof(SMCParamBlock, status) == 41);
static_assert(offsetof(SMCParamBlock, command) == 42);
static_assert(offsetof(SMCParamBlock, padding2) == 43);
static_assert(offsetof(SMCParamBlock, reservedData) == 44);
static_assert(offsetof(SMCParamBlock, payload) == 48);

}  // namespace smcd
