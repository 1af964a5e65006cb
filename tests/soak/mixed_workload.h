#pragma once

// One client of the soak: connects, makes a random run of calls over every
// method but the exit request, checks each reply for what that method
// promises, and leaves; again and again until its time is up. Removal calls
// first make the items they remove, so every removal has real work to do.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/vornik_fan_control_protocol.h"

namespace smcd::soak {

using protocol::kMethodCount;
using protocol::Method;
using protocol::selectorOf;

// Shared by every client thread.
class Tally {
public:
    void answered(Method method) { answered_[static_cast<std::size_t>(method)].fetch_add(1); }
    std::uint64_t answeredCount(Method method) const { return answered_[static_cast<std::size_t>(method)].load(); }
    std::uint64_t totalAnswered() const;
    void fail(std::string what);
    std::vector<std::string> failures() const;

private:
    std::array<std::atomic<std::uint64_t>, kMethodCount> answered_{};
    mutable std::mutex lock_;
    std::vector<std::string> failures_;
    std::size_t dropped_ = 0;
};

// The folders the removal calls work in, made before the clients start.
namespace fixture {
void prepare();
// Items the clients made and no removal took away; empty when all went.
std::vector<std::string> leftovers();
void tearDown();
// The launchd job that passes screening (and then finds no launchctl).
inline constexpr std::string_view kJobLabel = "com.example.soak";
}  // namespace fixture

struct ClientPlan {
    std::string socketPath;
    std::uint32_t seed = 0;
    std::size_t fans = 0;
    std::chrono::steady_clock::time_point deadline;
};

// Connects, calls, leaves, until the deadline; every problem goes to `tally`.
void runMixedClient(const ClientPlan& plan, Tally& tally);

// One connection that calls every method except the exit request once.
void callEveryMethodOnce(const ClientPlan& plan, Tally& tally);

}  // namespace smcd::soak
