#pragma once

// The fan engine shared by every connection: the SMC user client (absent
// when it could not be opened at start-up) and the lock that serialises
// every conversation with it, including the unlock wait of about ten and a
// half seconds.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/expected.h"
#include "fan/fan_capability.h"
#include "fan/fan_guardian.h"
#include "fan/smc_fan_core.h"

namespace smcd {

namespace detail {
template <class Result>
struct CoreResult {
    using type = Expected<Result, std::string>;
};
template <class Value>
struct CoreResult<Expected<Value, std::string>> {
    using type = Expected<Value, std::string>;
};
}  // namespace detail

// What FanEngine::withCore gives back for work that returns `Result`.
template <class Result>
using CoreResult = typename detail::CoreResult<Result>::type;

class FanEngine {
public:
    FanEngine();  // opens the SMC once; the core stays absent if that fails
    explicit FanEngine(std::unique_ptr<SMCFanCore> core);
    FanEngine(const FanEngine&) = delete;
    FanEngine& operator=(const FanEngine&) = delete;

    // Runs `work` on the core under the engine's lock and gives back what it
    // returns; without an SMC, "SMC unavailable" and `work` does not run. Work
    // that can fail itself gives back its own result, so that a missing SMC
    // and a failed operation arrive as one failure.
    template <class Work>
    CoreResult<std::invoke_result_t<Work&, SMCFanCore&>> withCore(Work&& work) {
        const auto guard = acquire();
        if (!core_) return unexpected(std::string(kSMCUnavailable));
        if constexpr (std::is_void_v<std::invoke_result_t<Work&, SMCFanCore&>>) {
            work(*core_);
            return {};
        } else {
            return work(*core_);
        }
    }

    // Starts the fan guardian when there is an SMC to guard (nothing to do,
    // and no failure, without one). Only while the process has one thread.
    Expected<void, FanGuardianFailure> startGuardian(const FanGuardian::OpenCore& openCore = [] {
        return SMCFanCore::open();
    });

    // Returns every fan to automatic control for a process that is about to
    // end, and keeps the engine closed from then on: a fan request that came
    // after would leave its fan manual once the daemon is gone, so every later
    // use waits until the process ends. Once every fan is back, the guardian
    // is told so and leaves the fans alone; otherwise it tries again itself
    // when the process is gone.
    void handBackForExit();

private:
    std::unique_lock<std::mutex> acquire();

    std::unique_ptr<SMCFanCore> core_;
    FanGuardian guardian_;
    std::mutex lock_;
    bool closedForExit_ = false;
    std::condition_variable never_;
};

}  // namespace smcd
