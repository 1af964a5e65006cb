#pragma once

// The fan engine shared by every connection: the SMC user client (absent
// when it could not be opened at start-up), the turns that serialise every
// conversation with it (the engine's lock, taken in a fair order), and the
// fan guardian that hands the fans back should the daemon die.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/expected.h"
#include "fan/fan_capability.h"
#include "fan/fan_guardian.h"
#include "fan/fan_turns.h"
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

    // Runs `work` on the core in the turn of the user `peerUID` (fan_turns.h)
    // and gives back what it returns; without an SMC, "SMC unavailable" and
    // `work` does not run. Work that can fail itself gives back its own
    // result, so that a missing SMC and a failed operation arrive as one
    // failure. Once the fans were handed back for the process's end, it never
    // returns.
    template <class Work>
    CoreResult<std::invoke_result_t<Work&, SMCFanCore&>> withCore(std::uint32_t peerUID, Work&& work) {
        const auto turn = turns_.forUser(peerUID);
        return run(work);
    }

    // As withCore, for a hand-back: ahead of every request waiting. Once the
    // fans were handed back for the process's end, `work` does not run.
    template <class Work>
    CoreResult<std::invoke_result_t<Work&, SMCFanCore&>> withCoreFirst(Work&& work) {
        const auto turn = turns_.first();
        if (!turn) return unexpected(std::string(kHandedBackForExit));
        return run(work);
    }

    // setFan on `core` (in a turn of withCore), refused for manual mode while
    // no guardian stands to hand the fan back should the daemon die.
    Expected<void, std::string> setFan(SMCFanCore& core, std::int64_t index, bool manual, std::int64_t targetRPM);

    // Keeps a fan guardian when there is an SMC to guard (fan_guardian.h);
    // the engine must then live as long as the process.
    void startGuardian();

    // Returns every fan to automatic control for a process that is about to
    // end, ahead of every request waiting, and keeps the engine closed from
    // then on: a fan request that came after would leave its fan manual once
    // the daemon is gone, so no waiting or later request ever runs. Once every
    // fan is back, the guardian is told so and leaves the fans alone;
    // otherwise it tries again itself when the process is gone. `occasion`
    // names what ends the process in the log line this writes.
    void handBackForExit(std::string_view occasion);

private:
    static constexpr std::string_view kHandedBackForExit = "the fans were handed back for the daemon's end";

    template <class Work>
    CoreResult<std::invoke_result_t<Work&, SMCFanCore&>> run(Work& work) {
        if (!core_) return unexpected(std::string(kSMCUnavailable));
        if constexpr (std::is_void_v<std::invoke_result_t<Work&, SMCFanCore&>>) {
            work(*core_);
            return {};
        } else {
            return work(*core_);
        }
    }

    std::unique_ptr<SMCFanCore> core_;
    FanTurns turns_;
    FanGuardian guardian_;
};

}  // namespace smcd
