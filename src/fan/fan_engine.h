#pragma once

// The fan engine shared by every connection: the SMC user client (absent
// when it could not be opened at start-up) and the lock that serialises
// every conversation with it, including the unlock wait of about ten and a
// half seconds. Callers take `lock`, use `core`, and release `lock` before
// they reply.

#include <memory>
#include <mutex>

#include "fan/fan_capability.h"
#include "fan/smc_fan_core.h"

namespace smcd {

class FanEngine {
public:
    FanEngine();  // opens the SMC once; core stays null if that fails
    explicit FanEngine(std::unique_ptr<SMCFanCore> core);
    FanEngine(const FanEngine&) = delete;
    FanEngine& operator=(const FanEngine&) = delete;

    std::unique_ptr<SMCFanCore> core;
    std::mutex lock;
};

}  // namespace smcd
