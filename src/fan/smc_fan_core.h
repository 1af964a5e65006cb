#pragma once

#include <array>
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

// Every fan request's answer when there is no SMC to ask.
inline constexpr std::string_view kSMCUnavailable = "SMC unavailable";

// What reading a key yields: `size` value bytes and the key's type code.
// Held in place, so that reading allocates nothing (the fan guardian reads
// while the machine may be out of memory).
struct SMCKeyValue {
    std::array<std::uint8_t, kSMCPayloadSize> data{};
    std::int32_t size = 0;
    std::uint32_t typeCode = 0;

    std::span<const std::uint8_t> bytes() const { return std::span(data).first(static_cast<std::size_t>(size)); }
};

// The SMC did not answer a call: its connection failed, stalled or is gone.
// Unlike a key the SMC says it does not have, this tells nothing about the key.
enum class SMCCallFailure { noAnswer };

// A read the SMC answered: the value, or nothing when it has no such readable key.
using SMCReadAnswer = Expected<std::optional<SMCKeyValue>, SMCCallFailure>;

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
    SMCReadAnswer readKeyAnswer(std::uint32_t code);
    bool writeKey(std::uint32_t code, std::span<const std::uint8_t> bytes);
    std::optional<double> readNumber(std::uint32_t code);
    // Writes `value` in the encoding the key's size calls for (see smc_number.h).
    bool writeNumber(std::uint32_t code, float value);
    // Whether the machine has "Ftst"; asked until the SMC answers, then remembered.
    bool ftstAvailable();

    // --- fans (smc_fan_core_fans.cc) ---
    std::vector<FanCapability> capabilities();
    FanCapability capability(std::int64_t fan);
    std::optional<std::string> modeKey(std::int64_t fan);
    // Each fan operation fails with the message the client is shown. A
    // target that cannot be written after the mode was puts the fan back to
    // automatic before the failure is given.
    Expected<void, std::string> setFan(std::int64_t index, bool manual, std::int64_t targetRPM);

    // --- hand-back (smc_fan_core_handback.cc) ---
    // Each SMC call of a hand-back is tried up to limits::kFanHandBackAttempts
    // times, and the mode is read back: a fan counts as automatic only once
    // its mode key reads 0. They fail when a fan, or "Ftst", stayed as it was.
    Expected<void, std::string> setAutomatic(std::int64_t fan, std::string_view modeKey);
    // Puts the fan in manual mode, through the "Ftst" unlock when the thermal
    // manager holds on to it; the error says why it stayed automatic.
    Expected<void, std::string> unlockManual(std::int64_t fan, std::string_view modeKey);
    bool otherFanIsManual(std::int64_t exceptFan);
    // Every fan with a mode key back to automatic, then "Ftst" lowered where
    // it is raised; "SMC unavailable" when the fans could not even be counted.
    Expected<void, std::string> resetAllToAuto();

private:
    // key access
    Expected<SMCParamBlock, SMCCallFailure> readKeyInfo(std::uint32_t code);
    bool writeBlock(const SMCParamBlock& info, std::uint32_t code, std::span<const std::uint8_t> bytes);
    // fans
    Expected<std::int64_t, SMCCallFailure> countFans();
    std::int64_t fanCount();  // 0 when the SMC does not answer
    Expected<std::optional<std::string>, SMCCallFailure> findModeKey(std::int64_t fan);
    bool readsAsOne(std::string_view key);
    // hand-back
    template <class Step>
    bool retried(Step&& step);
    bool returnToAutomatic(std::uint32_t modeCode);
    void clearTarget(std::int64_t fan);
    bool lowerFtst();
    bool mayHaveFtst();

    std::unique_ptr<platform::SMCUserClient> conn_;  // closed on destruction
    FanClock* clock_;
    std::optional<bool> ftstAvailable_;
};

}  // namespace smcd
