#pragma once

// Throttles the log line of one kind of refusal: the first is logged at
// once, then at most one per interval, each telling how many went unlogged
// before it. A peer refused in a loop cannot flood the log.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>

#include "common/limits.h"
#include "platform/log/daemon_log.h"

namespace smcd::platform {

class RefusalReport {
public:
    using Clock = std::chrono::steady_clock;
    explicit RefusalReport(Clock::duration interval = limits::kRefusalLogInterval) : interval_(interval) {}

    // Counts one refusal at `now`. When it is to be logged: how many were
    // counted and not logged since the last line; otherwise nothing.
    std::optional<std::size_t> count(Clock::time_point now = Clock::now()) {
        const std::lock_guard guard(lock_);
        if (lastLine_ && now - *lastLine_ < interval_) {
            ++unlogged_;
            return std::nullopt;
        }
        lastLine_ = now;
        const std::size_t unlogged = unlogged_;
        unlogged_ = 0;
        return unlogged;
    }

private:
    const Clock::duration interval_;
    std::mutex lock_;
    std::optional<Clock::time_point> lastLine_;
    std::size_t unlogged_ = 0;
};

}  // namespace smcd::platform

// Counts one refusal in `report` and, when it is due, logs it at error level;
// the format's last value is the count of those left unlogged before it.
#define SMCD_LOG_REFUSAL(report, format, ...)                                                          \
    do {                                                                                               \
        if (const auto smcdUnlogged = (report).count())                                                \
            SMCD_LOG(::smcd::daemonLog(), ::smcd::platform::LogLevel::error, format __VA_OPT__(, ) \
                         __VA_ARGS__, *smcdUnlogged);                                                  \
    } while (false)
