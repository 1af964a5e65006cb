#pragma once

#include <chrono>
#include <mutex>
#include <numeric>
#include <utility>
#include <vector>

#include "fan/fan_clock.h"
#include "smc-sim/sim_clock.h"

namespace smcd::test {

// One hand-driven time for both the fan engine and the controller model:
// every sleep of the engine moves the model's time forward by as much, so
// the unlock wait runs in no real time at all.
class FakeClock final : public FanClock, public smcsim::SimClock {
public:
    using TimePoint = FanClock::TimePoint;
    using Duration = FanClock::Duration;

    TimePoint now() override { return std::as_const(*this).now(); }
    TimePoint now() const override {
        std::lock_guard guard(mutex_);
        return now_;
    }
    void sleepFor(Duration duration) override {
        std::lock_guard guard(mutex_);
        sleeps_.push_back(duration);
        now_ += duration;
    }
    std::vector<Duration> sleeps() const {
        std::lock_guard guard(mutex_);
        return sleeps_;
    }
    Duration slept() const {
        const auto all = sleeps();
        return std::accumulate(all.begin(), all.end(), Duration{});
    }

private:
    mutable std::mutex mutex_;
    TimePoint now_{std::chrono::hours(1)};
    std::vector<Duration> sleeps_;
};

}  // namespace smcd::test
