#pragma once

#include <chrono>

namespace smcd {

// The present time and blocking sleeps of the fan unlock, behind an
// interface so that tests can run the ten-second wait without waiting.
class FanClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    virtual ~FanClock() = default;
    virtual TimePoint now() = 0;
    virtual void sleepFor(Duration duration) = 0;
};

// Monotonic time and real sleeps: a wall-clock change during the unlock
// neither cuts it short nor stretches it.
FanClock& systemFanClock();

}  // namespace smcd
