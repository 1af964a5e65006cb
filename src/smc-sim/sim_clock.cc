#include "smc-sim/sim_clock.h"

namespace smcd::smcsim {
namespace {

class SteadySimClock final : public SimClock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

SimClock& steadySimClock() {
    static SteadySimClock clock;
    return clock;
}

}  // namespace smcd::smcsim
