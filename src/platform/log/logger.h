#pragma once

// Stand-in for the unified log. Format strings keep the unified log's privacy
// marks: a value marked private is rendered as "<private>", a public one as
// given. Strings without a mark are private and numbers public, as there.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace smcd::platform {

enum class LogLevel { Default, Error };

using LogArgument = std::variant<std::string_view, std::int64_t, std::uint64_t>;

std::string renderLogMessage(std::string_view format, std::span<const LogArgument> arguments);

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogLevel level, std::string_view subsystem, std::string_view category,
                       std::string_view message) = 0;
};

// Where lines go when no sink is installed: the platform's own log (the
// journal on Linux, the unified log on macOS).
LogSink& platformLogSink();

// Replaces the process-wide sink (nullptr restores the platform's log); returns
// the previous one. The sink must outlive its installation.
LogSink* installLogSink(LogSink* sink);

class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    template <class... Args>
    void log(LogLevel level, std::string_view format, const Args&... args) const {
        const LogArgument list[] = {LogArgument(convert(args))..., LogArgument(std::int64_t{0})};
        emit(level, format, std::span<const LogArgument>(list, sizeof...(Args)));
    }

    void emit(LogLevel level, std::string_view format, std::span<const LogArgument> arguments) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
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
};

}  // namespace smcd::platform
