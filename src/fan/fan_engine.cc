#include "fan/fan_engine.h"

#include "fan/fan_keys.h"
#include "platform/log/daemon_log.h"

namespace smcd {

FanEngine::FanEngine() : core_(SMCFanCore::open()) {}

FanEngine::FanEngine(std::unique_ptr<SMCFanCore> core) : core_(std::move(core)) {}

Expected<void, std::string> FanEngine::setFan(SMCFanCore& core, std::int64_t index, bool manual,
                                              std::int64_t targetRPM) {
    if (manual && !guardian_.standing()) {
        return unexpected(fanLabel(index) + " can't be set to manual: no fan guardian is running");
    }
    return core.setFan(index, manual, targetRPM);
}

void FanEngine::startGuardian() {
    if (core_) guardian_.keep([this](bool ready) { turns_.shut(!ready); });
}

void FanEngine::handBackForExit(std::string_view occasion) {
    const auto turn = turns_.first();
    // A second exit (a stop signal after an update request, or a second
    // update request) finds the fans handed back already.
    if (!turn) return;
    turns_.close();
    if (!core_) {
        SMCD_LOG(daemonLog(), platform::LogLevel::notice, "%{public}s: no SMC, no fan to hand back", occasion);
        guardian_.retire(false);
        return;
    }
    const auto outcome = core_->resetAllToAuto();
    guardian_.retire(outcome.has_value());
    if (outcome) {
        SMCD_LOG(daemonLog(), platform::LogLevel::notice, "%{public}s: every fan is automatic", occasion);
    } else {
        SMCD_LOG(daemonLog(), platform::LogLevel::error,
                 "%{public}s: the fans could not all be handed back (%{public}s); the fan guardian tries again",
                 occasion, outcome.error());
    }
}

}  // namespace smcd
