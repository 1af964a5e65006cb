#pragma once

#include <chrono>

namespace smcd::smcsim {

// Where the model's time comes from; tests drive it by hand.
class SimClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~SimClock() = default;
    virtual TimePoint now() const = 0;
};

SimClock& steadySimClock();

}  // namespace smcd::smcsim
