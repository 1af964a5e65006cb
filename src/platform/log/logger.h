#pragma once

// Stand-in for the unified log. Formats keep the unified log's privacy marks:
// a value marked private is rendered as "<private>", a public one as given;
// strings without a mark are private and numbers public, as there. Every
// call goes through SMCD_LOG, so each format is a literal checked against its
// values when the call is compiled (platform/log/log_format.h), and a sink
// gets that literal and the values apart, as the unified log wants them.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "platform/log/log_format.h"

namespace smcd::platform {

// notice is the unified log's default type (the journal's priority 5).
enum class LogLevel {
    notice,
    error,
};

using LogArgument = std::variant<std::string_view, std::int64_t, std::uint64_t>;

std::string renderLogMessage(std::string_view format, std::span<const LogArgument> arguments);

// One call as the sink gets it: from SMCD_LOG the format is the call's literal.
struct LogRecord {
    LogLevel level;
    std::string_view subsystem;
    std::string_view category;
    std::string_view format;
    std::span<const LogArgument> arguments;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
};

// Where the platform's log is written from when no sink is installed: the
// journal on Linux. Its side of the seam defines it; a side whose SMCD_LOG
// writes the log at the call site makes it a sink that drops.
LogSink& platformLogSink();

// Replaces the process-wide sink for every logger (nullptr restores each
// logger's own); returns the previous one. The sink must outlive its
// installation.
LogSink* installLogSink(LogSink* sink);

class Logger {
public:
    // Lines go to `sink` while no other sink is installed.
    Logger(std::string subsystem, std::string category, LogSink& sink)
        : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(sink) {}

    // Called by SMCD_LOG, which makes the format a literal. False when the
    // line was left out, counted against the request that wrote it
    // (request_log_lines.h): a side that also logs at the call site writes
    // only what this lets through.
    template <class... Args>
    bool write(LogLevel level, LogFormat<Args...> format, const Args&... args) const {
        return send(level, format.text(), args...);
    }

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    template <class... Args>
    bool send(LogLevel level, std::string_view format, const Args&... args) const {
        const LogArgument list[] = {LogArgument(convert(args))..., LogArgument(std::int64_t{0})};
        return emit(level, format, std::span<const LogArgument>(list, sizeof...(Args)));
    }

    bool emit(LogLevel level, std::string_view format, std::span<const LogArgument> arguments) const;

    template <class T>
    static LogArgument convert(const T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            return std::int64_t{value ? 1 : 0};
        } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
            return static_cast<std::int64_t>(value);
        } else if constexpr (std::is_integral_v<T>) {
            return static_cast<std::uint64_t>(value);
        } else {
            return std::string_view(value);
        }
    }

    std::string subsystem_;
    std::string category_;
    LogSink& sink_;
};

}  // namespace smcd::platform

// SMCD_LOG(logger, level, "format", values...): the only way to log. Pasting
// "" in front refuses a format that is not a string literal; the format is
// checked against the values' types when the call compiles. A side whose log
// takes the literal only where it is written (the unified log's
// os_log_with_type) names its own expansion in SMCD_LOG_CALL_HEADER.
#if defined(SMCD_LOG_CALL_HEADER)
#include SMCD_LOG_CALL_HEADER
#else
#define SMCD_LOG(logger, level, format, ...) (logger).write((level), "" format __VA_OPT__(, ) __VA_ARGS__)
#endif
