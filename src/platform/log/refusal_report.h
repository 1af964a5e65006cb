#pragma once

// Throttles the log line of one kind of refusal: the first is logged at
// once, then at most one per interval, each telling how many went unlogged
// before it. When refusals stop, the count still pending is written once the
// interval ends, so the log never leaves out that they happened. A peer
// refused in a loop cannot flood the log.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/limits.h"
#include "platform/log/daemon_log.h"
#include "platform/log/request_log_lines.h"

namespace smcd::platform {

class RefusalReport {
public:
    using Clock = std::chrono::steady_clock;
    // `kind` names the refusals in the line that counts those still pending
    // when the interval ends: fixed vocabulary, public.
    explicit RefusalReport(std::string_view kind, Clock::duration interval = limits::kRefusalLogInterval);
    // Never while the count it still holds is being written.
    ~RefusalReport();
    RefusalReport(const RefusalReport&) = delete;
    RefusalReport& operator=(const RefusalReport&) = delete;

    // Counts one refusal at `now`. When it is to be logged: how many were
    // counted and not logged since the last line; otherwise nothing.
    std::optional<std::size_t> count(Clock::time_point now = Clock::now());

private:
    friend class RefusalTimer;
    // Writes the pending count if its interval has ended by `now`; the time
    // it is due otherwise, nothing when nothing is pending.
    std::optional<Clock::time_point> writePending(Clock::time_point now);

    const std::string_view kind_;
    const Clock::duration interval_;
    std::mutex lock_;
    std::optional<Clock::time_point> lastLine_;
    std::size_t unlogged_ = 0;
};

}  // namespace smcd::platform

// Counts one refusal in `report` and, when it is due, logs it at error level;
// the format's last value is the count of those left unlogged before it.
// Throttled already, these lines are never held to a request's own bound.
#define SMCD_LOG_REFUSAL(report, format, ...)                                                          \
    do {                                                                                               \
        if (const auto smcdUnlogged = (report).count()) {                                              \
            const ::smcd::platform::RequestLogLines::Exempt smcdExempt;                                \
            SMCD_LOG(::smcd::daemonLog(), ::smcd::platform::LogLevel::error, format __VA_OPT__(, ) \
                         __VA_ARGS__, *smcdUnlogged);                                                  \
        }                                                                                              \
    } while (false)
