#include "fan/fan_clock.h"

#include <thread>

namespace smcd {
namespace {

class SystemFanClock final : public FanClock {
public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    void sleepFor(Duration duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

FanClock& systemFanClock() {
    static SystemFanClock clock;
    return clock;
}

}  // namespace smcd
