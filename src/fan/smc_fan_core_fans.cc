#include <algorithm>
#include <array>
#include <chrono>

#include "fan/fan_keys.h"
#include "fan/four_char_code.h"
#include "fan/rpm_rounding.h"
#include "fan/smc_fan_core.h"

namespace smcd {
namespace {

using namespace std::chrono_literals;

constexpr std::array<std::uint8_t, 1> kModeManual{1};
constexpr std::array<std::uint8_t, 1> kUnlockRaised{1};

// The thermal manager needs a moment after "Ftst" is raised, then gets ten
// seconds of retries before the unlock is given up.
constexpr auto kUnlockSettleTime = 500ms;
constexpr auto kUnlockRetryInterval = 100ms;
constexpr auto kUnlockDeadline = 10s;

}  // namespace

Expected<std::int64_t, SMCCallFailure> SMCFanCore::countFans() {
    const auto answer = readKeyAnswer(fourCharCode(kFanCountKey));
    if (!answer) return unexpected(answer.error());
    return *answer ? std::int64_t{(*answer)->data.front()} : 0;
}

std::int64_t SMCFanCore::fanCount() {
    const auto count = countFans();
    return count ? *count : 0;
}

bool SMCFanCore::readsAsOne(std::string_view key) {
    const auto value = readKey(fourCharCode(key));
    return value && value->data.front() == 1;
}

std::vector<FanCapability> SMCFanCore::capabilities() {
    std::vector<FanCapability> list;
    const std::int64_t count = fanCount();
    for (std::int64_t fan = 0; fan < count; ++fan) list.push_back(capability(fan));
    return list;
}

FanCapability SMCFanCore::capability(std::int64_t fan) {
    FanCapability result;
    const auto mode = modeKey(fan);
    result.controllable = mode && readKey(fanKeyCode(fan, kFanTargetSuffix)).has_value();
    const auto speed = [&](std::string_view suffix) -> std::int64_t {
        const auto value = readNumber(fanKeyCode(fan, suffix));
        return value ? roundedRPM(*value).value_or(0) : 0;
    };
    result.minRPM = speed(kFanMinimumSuffix);
    result.maxRPM = speed(kFanMaximumSuffix);
    result.currentRPM = speed(kFanActualSuffix);
    result.index = fan;
    return result;
}

Expected<std::optional<std::string>, SMCCallFailure> SMCFanCore::findModeKey(std::int64_t fan) {
    for (const auto suffix : {kFanModeSuffix, kFanModeSuffixLowerCase}) {
        std::string key = fanKey(fan, suffix);
        const auto answer = readKeyAnswer(fourCharCode(key));
        if (!answer.has_value()) return unexpected(SMCCallFailure::noAnswer);
        if (*answer) return std::optional(std::move(key));
    }
    return std::optional<std::string>();
}

std::optional<std::string> SMCFanCore::modeKey(std::int64_t fan) {
    auto found = findModeKey(fan);
    return found ? std::move(*found) : std::nullopt;
}

Expected<void, std::string> SMCFanCore::setFan(std::int64_t index, bool manual, std::int64_t targetRPM) {
    const auto found = findModeKey(index);
    // An SMC that did not answer says nothing about the fan.
    if (!found) return unexpected(std::string(kSMCUnavailable));
    const auto& mode = *found;
    if (!mode) return unexpected(fanLabel(index) + " isn't controllable on this Mac");
    if (!manual) return setAutomatic(index, *mode);

    const auto minimum = readNumber(fanKeyCode(index, kFanMinimumSuffix));
    const auto maximum = readNumber(fanKeyCode(index, kFanMaximumSuffix));
    const std::string unreadable = fanLabel(index) + " min/max RPM unreadable";
    if (!minimum || !maximum || !(*minimum < *maximum)) return unexpected(unreadable);
    // An infinite or huge limit can pass the comparison but is no speed to
    // clamp to; refuse before anything is written.
    const auto lowest = truncatedRPM(*minimum);
    const auto highest = truncatedRPM(*maximum);
    if (!lowest || !highest) return unexpected(unreadable);

    if (auto unlocked = unlockManual(index, *mode); !unlocked) return unlocked;

    const std::int64_t clamped = std::max(std::min(targetRPM, *highest), *lowest);
    if (!writeNumber(fanKeyCode(index, kFanTargetSuffix), static_cast<float>(clamped))) {
        // Manual with a target that is not the client's: hand the fan back
        // before saying the request failed.
        (void)setAutomatic(index, *mode);
        return unexpected("Target-RPM write failed for fan " + std::to_string(index));
    }
    return {};
}

Expected<void, std::string> SMCFanCore::unlockManual(std::int64_t fan, std::string_view modeKey) {
    const std::uint32_t mode = fourCharCode(modeKey);
    if (writeKey(mode, kModeManual)) return {};
    if (!ftstAvailable()) return unexpected(fanLabel(fan) + " mode write rejected and this Mac has no Ftst unlock");

    writeKey(fourCharCode(kFanUnlockKey), kUnlockRaised);
    clock_->sleepFor(kUnlockSettleTime);
    const auto deadline = clock_->now() + kUnlockDeadline;
    while (clock_->now() < deadline) {
        if (writeKey(mode, kModeManual)) return {};
        clock_->sleepFor(kUnlockRetryInterval);
    }
    return unexpected("Timed out unlocking fan " + std::to_string(fan) + " — thermalmonitord kept control");
}

bool SMCFanCore::otherFanIsManual(std::int64_t exceptFan) {
    const std::int64_t count = fanCount();
    for (std::int64_t fan = 0; fan < count; ++fan) {
        if (fan == exceptFan) continue;
        if (const auto mode = modeKey(fan); mode && readsAsOne(*mode)) return true;
    }
    return false;
}

}  // namespace smcd
