#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.h"
#include "fan/fan_capability.h"
#include "fan/fan_clock.h"
#include "fan/smc_param_block.h"
#include "platform/smc/smc_user_client.h"

namespace smcd {

// What reading a key yields: `size` value bytes and the key's type code.
struct SMCKeyValue {
    std::vector<std::uint8_t> bytes;
    std::int32_t size = 0;
    std::uint32_t typeCode = 0;
};

// The open AppleSMC user client and every fan operation on it. Not
// thread-safe: FanEngine::withCore runs each use under the engine's lock.
class SMCFanCore {
public:
    // Opens the machine's AppleSMC; nullptr when there is none or it will not open.
    static std::unique_ptr<SMCFanCore> open();
    // Opens `service` (nullptr = no service). `clock` must outlive the core.
    static std::unique_ptr<SMCFanCore> open(std::unique_ptr<platform::SMCService> service, FanClock& clock);

    SMCFanCore(std::unique_ptr<platform::SMCUserClient> conn, FanClock& clock);
    SMCFanCore(const SMCFanCore&) = delete;
    SMCFanCore& operator=(const SMCFanCore&) = delete;

    // --- key access (smc_fan_core_keys.cc) ---
    std::optional<SMCParamBlock> smcCall(const SMCParamBlock& input);
    std::optional<SMCKeyValue> readKey(std::uint32_t code);
    bool writeKey(std::uint32_t code, std::span<const std::uint8_t> bytes);
    std::optional<double> readNumber(std::uint32_t code);
    // Writes `value` in the encoding the key's size calls for (see smc_number.h).
    bool writeNumber(std::uint32_t code, float value);
    // Whether the machine has "Ftst"; asked once, then remembered.
    bool ftstAvailable();

    // --- fans (smc_fan_core_fans.cc) ---
    std::vector<FanCapability> capabilities();
    FanCapability capability(std::int64_t fan);
    std::optional<std::string> modeKey(std::int64_t fan);
    // Each fan operation fails with the message the client is shown.
    Expected<void, std::string> setFan(std::int64_t index, bool manual, std::int64_t targetRPM);
    Expected<void, std::string> setAutomatic(std::int64_t fan, std::string_view modeKey);
    // Puts the fan in manual mode, through the "Ftst" unlock when the thermal
    // manager holds on to it; the error says why it stayed automatic.
    Expected<void, std::string> unlockManual(std::int64_t fan, std::string_view modeKey);
    bool otherFanIsManual(std::int64_t exceptFan);
    Expected<void, std::string> resetAllToAuto();

private:
    // key access
    std::optional<SMCParamBlock> readKeyInfo(std::uint32_t code);
    bool writeBlock(const SMCParamBlock& info, std::uint32_t code, std::span<const std::uint8_t> bytes);
    // fans
    std::int64_t fanCount();
    bool readsAsOne(std::string_view key);

    std::unique_ptr<platform::SMCUserClient> conn_;  // closed on destruction
    FanClock* clock_;
    std::optional<bool> ftstAvailable_;
};

}  // namespace smcd
