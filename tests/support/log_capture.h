#pragma once

// A log sink that keeps every line, for tests that assert exact log lines.

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

class CapturingSink final : public LogSink {
public:
    void write(LogLevel level, std::string_view subsystem, std::string_view category,
               std::string_view message) override;
    std::vector<CapturedLine> lines() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<CapturedLine> lines_;
};

// Installs a CapturingSink for the lifetime of the object.
class ScopedLogCapture {
public:
    ScopedLogCapture() : previous_(installLogSink(&sink_)) {}
    ~ScopedLogCapture() { installLogSink(previous_); }
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;
    std::vector<CapturedLine> lines() const { return sink_.lines(); }
    void clear() { sink_.clear(); }

private:
    CapturingSink sink_;
    LogSink* previous_;
};

}  // namespace smcd::platform
