// Handing fans back to automatic control. This runs when nobody may be left
// to notice a failure (the last client gone, the daemon ending, the fan
// guardian after the daemon died), so each SMC call gets a few attempts, the
// mode is read back rather than trusted, and a fan that stayed manual is
// reported. Nothing here allocates on success: the guardian may run it while
// the machine is out of memory.

#include <array>

#include "common/limits.h"
#include "fan/fan_keys.h"
#include "fan/four_char_code.h"
#include "fan/smc_fan_core.h"

namespace smcd {
namespace {

constexpr std::array<std::uint8_t, 1> kModeAutomatic{0};
constexpr std::array<std::uint8_t, 1> kUnlockLowered{0};
constexpr std::array<std::uint8_t, 4> kTargetCleared{0, 0, 0, 0};

constexpr std::string_view kFtstStayedRaised = "Ftst could not be lowered";

// Whether an answered read holds a value whose first byte is `byte`.
bool firstByteIs(const SMCReadAnswer& answer, std::uint8_t byte) {
    return answer && *answer && (*answer)->data.front() == byte;
}

}  // namespace

template <class Step>
bool SMCFanCore::retried(Step&& step) {
    for (int attempt = 1;; ++attempt) {
        if (step()) return true;
        if (attempt == limits::kFanHandBackAttempts) return false;
        clock_->sleepFor(limits::kFanHandBackRetryPause);
    }
}

// A refused write still counts when the mode reads 0 afterwards: a fan the
// thermal manager holds is automatic already.
bool SMCFanCore::returnToAutomatic(std::uint32_t modeCode) {
    return retried([&] {
        (void)writeKey(modeCode, kModeAutomatic);
        return firstByteIs(readKeyAnswer(modeCode), 0);
    });
}

// In automatic mode the controller ignores the target; clearing it is owed to
// the next reader, not to the hand-back's success. Only ever done once the
// mode reads automatic: a manual fan with its target cleared would stop.
void SMCFanCore::clearTarget(std::int64_t fan) {
    (void)retried([&] { return writeKey(fanKeyCode(fan, kFanTargetSuffix), kTargetCleared); });
}

// "Ftst" is written only when it reads 1, and counts as lowered once it no
// longer does (or the machine answers that it has no such key).
bool SMCFanCore::lowerFtst() {
    const std::uint32_t code = fourCharCode(kFanUnlockKey);
    return retried([&] {
        const auto before = readKeyAnswer(code);
        if (!before) return false;
        ftstAvailable_ = before->has_value();
        if (!firstByteIs(before, 1)) return true;
        (void)writeKey(code, kUnlockLowered);
        const auto after = readKeyAnswer(code);
        return after && !firstByteIs(after, 1);
    });
}

// Unknown counts as present: a call that failed must not skip the lowering.
bool SMCFanCore::mayHaveFtst() { return ftstAvailable() || !ftstAvailable_; }

Expected<void, std::string> SMCFanCore::setAutomatic(std::int64_t fan, std::string_view modeKey) {
    const bool automatic = returnToAutomatic(fourCharCode(modeKey));
    if (automatic) clearTarget(fan);
    const bool released = !mayHaveFtst() || otherFanIsManual(fan) || lowerFtst();
    if (!automatic) return unexpected(fanLabel(fan) + " could not be set back to automatic");
    if (!released) return unexpected(std::string(kFtstStayedRaised));
    return {};
}

Expected<void, std::string> SMCFanCore::resetAllToAuto() {
    std::int64_t count = 0;
    const bool counted = retried([&] {
        const auto answer = countFans();
        if (answer) count = *answer;
        return answer.has_value();
    });
    // Every step runs; the first failure is the one reported.
    Expected<void, std::string> outcome;
    const auto fail = [&](auto&& message) {
        if (outcome) outcome = unexpected(std::string(message));
    };
    if (!counted) fail(kSMCUnavailable);
    for (std::int64_t fan = 0; fan < count; ++fan) {
        std::optional<std::string> mode;
        const bool looked = retried([&] {
            auto found = findModeKey(fan);
            if (found) mode = std::move(*found);
            return found.has_value();
        });
        if (looked && !mode) continue;  // not controllable: never manual
        if (looked && returnToAutomatic(fourCharCode(*mode))) {
            clearTarget(fan);
        } else {
            fail(fanLabel(fan) + " could not be set back to automatic");
        }
    }
    if (mayHaveFtst() && !lowerFtst()) fail(kFtstStayedRaised);
    return outcome;
}

}  // namespace smcd
