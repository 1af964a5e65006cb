#pragma once

// A log sink that keeps every line, for tests that assert exact log lines.

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/logger.h"

namespace smcd::platform {

struct CapturedLine {
    LogLevel level;
    std::string message;
    bool operator==(const CapturedLine&) const = default;
};

// Installed for the lifetime of the object; lines may come from any thread.
// `onLine`, if given, runs for each line once it is kept: a test's way to act
// at a logged moment.
class ScopedLogCapture final : public LogSink {
public:
    explicit ScopedLogCapture(std::function<void()> onLine = {})
        : onLine_(std::move(onLine)), previous_(installLogSink(this)) {}
    ~ScopedLogCapture() override { installLogSink(previous_); }
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    void write(const LogRecord& record) override {
        std::string message = renderLogMessage(record.format, record.arguments);
        std::unique_lock guard(mutex_);
        lines_.push_back({record.level, std::move(message)});
        guard.unlock();
        if (onLine_) onLine_();
    }
    std::vector<CapturedLine> lines() const {
        std::lock_guard guard(mutex_);
        return lines_;
    }
    // Whether a line so far holds `text`.
    bool contains(std::string_view text) const {
        std::lock_guard guard(mutex_);
        return std::ranges::any_of(lines_, [&](const CapturedLine& line) { return line.message.find(text) != std::string::npos; });
    }

private:
    const std::function<void()> onLine_;
    mutable std::mutex mutex_;
    std::vector<CapturedLine> lines_;
    LogSink* previous_;
};

}  // namespace smcd::platform
