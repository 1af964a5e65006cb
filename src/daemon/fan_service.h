#pragma once

// The object exported on every connection: holds the shared fan engine and
// the peer's effective uid, and hands each request to the subsystem that
// does its work.

#include <sys/types.h>

#include <memory>

#include "daemon/vornik_fan_control.h"
#include "fan/fan_engine.h"

namespace smcd {

class FanService final : public VornikFanControl {
public:
    FanService(std::shared_ptr<FanEngine> engine, std::uint32_t peerUID)
        : engine_(std::move(engine)), peerUID_(peerUID) {}

#define SMCD_OVERRIDE(...) SMCD_VORNIK_FAN_CONTROL_MEMBER(__VA_ARGS__) override;
    SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_OVERRIDE)
#undef SMCD_OVERRIDE

    std::uint32_t peerUID() const { return peerUID_; }

private:
    std::shared_ptr<FanEngine> engine_;
    const std::uint32_t peerUID_;
};

}  // namespace smcd
