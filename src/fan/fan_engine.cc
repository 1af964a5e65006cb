#include "fan/fan_engine.h"

namespace smcd {

FanEngine::FanEngine() : core_(SMCFanCore::open()) {}

FanEngine::FanEngine(std::unique_ptr<SMCFanCore> core) : core_(std::move(core)) {}

std::unique_lock<std::mutex> FanEngine::acquire() {
    std::unique_lock guard(lock_);
    while (closedForExit_) never_.wait(guard);
    return guard;
}

void FanEngine::handBackForExit() {
    const std::lock_guard guard(lock_);
    // A second exit (a stop signal after an update request, or a second
    // update request) finds the fans handed back already and must not wait
    // for an engine that will never open again.
    if (closedForExit_) return;
    if (core_ && core_->resetAllToAuto()) guardian_.fansHandedBack();
    closedForExit_ = true;
}

Expected<void, FanGuardianFailure> FanEngine::startGuardian(const FanGuardian::OpenCore& openCore) {
    if (!core_) return {};
    auto guardian = FanGuardian::start(openCore);
    if (!guardian) return unexpected(guardian.error());
    guardian_ = std::move(*guardian);
    return {};
}

}  // namespace smcd
