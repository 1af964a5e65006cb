#include "fan/smc_fan_core.h"

#include <algorithm>

#include "fan/four_char_code.h"
#include "fan/fan_keys.h"
#include "fan/smc_number.h"

namespace smcd {

std::unique_ptr<SMCFanCore> SMCFanCore::open() {
    return open(platform::matchingAppleSMCService(), systemFanClock());
}

std::unique_ptr<SMCFanCore> SMCFanCore::open(std::unique_ptr<platform::SMCService> service, FanClock& clock) {
    if (!service) return nullptr;
    auto conn = service->open();
    service.reset();  // the service object is released whether or not the open worked
    if (!conn) return nullptr;
    return std::make_unique<SMCFanCore>(std::move(conn), clock);
}

SMCFanCore::SMCFanCore(std::unique_ptr<platform::SMCUserClient> conn, FanClock& clock)
    : conn_(std::move(conn)), clock_(&clock) {}

std::optional<SMCParamBlock> SMCFanCore::smcCall(const SMCParamBlock& input) {
    platform::SMCStructBytes output{};
    if (conn_->callStructMethod(platform::kSMCStructSelector, input.toBytes(), output) !=
        platform::IOReturn::success) {
        return std::nullopt;
    }
    return SMCParamBlock::fromBytes(output);
}

Expected<SMCParamBlock, SMCCallFailure> SMCFanCore::readKeyInfo(std::uint32_t code) {
    SMCParamBlock request;
    request.key = code;
    request.command = static_cast<std::uint8_t>(SMCCommand::readKeyInfo);
    auto answer = smcCall(request);
    if (!answer) return unexpected(SMCCallFailure::noAnswer);
    return *answer;
}

SMCReadAnswer SMCFanCore::readKeyAnswer(std::uint32_t code) {
    const auto info = readKeyInfo(code);
    if (!info) return unexpected(info.error());
    if (info->result != 0 || info->size == 0 || info->size > kSMCPayloadSize) return std::optional<SMCKeyValue>();

    SMCParamBlock request;
    request.key = code;
    request.size = info->size;
    request.typeCode = info->typeCode;
    request.attributes = info->attributes;
    request.command = static_cast<std::uint8_t>(SMCCommand::readBytes);
    const auto answer = smcCall(request);
    if (!answer) return unexpected(SMCCallFailure::noAnswer);
    if (answer->result != 0) return std::optional<SMCKeyValue>();

    SMCKeyValue value;
    std::copy_n(answer->payload.begin(), info->size, value.data.begin());
    value.size = static_cast<std::int32_t>(info->size);
    value.typeCode = info->typeCode;
    return std::optional(value);
}

std::optional<SMCKeyValue> SMCFanCore::readKey(std::uint32_t code) {
    auto answer = readKeyAnswer(code);
    return answer ? *answer : std::nullopt;
}

bool SMCFanCore::writeBlock(const SMCParamBlock& info, std::uint32_t code, std::span<const std::uint8_t> bytes) {
    SMCParamBlock request;
    request.key = code;
    request.size = info.size;
    request.typeCode = info.typeCode;
    request.command = static_cast<std::uint8_t>(SMCCommand::writeBytes);
    std::copy_n(bytes.begin(), std::min(bytes.size(), kSMCPayloadSize), request.payload.begin());
    const auto answer = smcCall(request);
    return answer && answer->result == 0;
}

bool SMCFanCore::writeKey(std::uint32_t code, std::span<const std::uint8_t> bytes) {
    const auto info = readKeyInfo(code);
    return info && info->result == 0 && writeBlock(*info, code, bytes);
}

std::optional<double> SMCFanCore::readNumber(std::uint32_t code) {
    const auto value = readKey(code);
    if (!value) return std::nullopt;
    return decodeSMCNumber(value->bytes());
}

bool SMCFanCore::writeNumber(std::uint32_t code, float value) {
    const auto info = readKeyInfo(code);
    if (!info || info->result != 0 || info->size > kSMCPayloadSize) return false;
    const auto bytes = encodeSMCNumber(value, info->size);
    return bytes && writeBlock(*info, code, *bytes);
}

bool SMCFanCore::ftstAvailable() {
    if (!ftstAvailable_) {
        // Only an answer is remembered: a call that failed says nothing about the key.
        if (const auto answer = readKeyAnswer(fourCharCode(kFanUnlockKey))) ftstAvailable_ = answer->has_value();
    }
    return ftstAvailable_.value_or(false);
}

}  // namespace smcd
