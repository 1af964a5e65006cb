#include "fan/fan_engine.h"

namespace smcd {

FanEngine::FanEngine() : core(SMCFanCore::open()) {}

FanEngine::FanEngine(std::unique_ptr<SMCFanCore> core) : core(std::move(core)) {}

}  // namespace smcd
