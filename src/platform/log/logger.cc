#include "platform/log/logger.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace smcd::platform {
namespace {

enum class Privacy { Unmarked, Public, Private };

std::string renderValue(const LogArgument& argument) {
    return std::visit(
        [](const auto& v) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string_view>) {
                return std::string(v);
            } else {
                return std::to_string(v);
            }
        },
        argument);
}

std::atomic<LogSink*> installedSink{nullptr};

StandardErrorSink& standardErrorSink() {
    static StandardErrorSink sink;
    return sink;
}

}  // namespace

std::string renderLogMessage(std::string_view format, std::span<const LogArgument> arguments) {
    std::string out;
    out.reserve(format.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        Privacy privacy = Privacy::Unmarked;
        if (j < format.size() && format[j] == '{') {
            const std::size_t close = format.find('}', j);
            if (close == std::string_view::npos) {
                out.append(format.substr(i));
                break;
            }
            const std::string_view mark = format.substr(j + 1, close - j - 1);
            privacy = mark == "public" ? Privacy::Public : mark == "private" ? Privacy::Private : Privacy::Unmarked;
            j = close + 1;
        }
        while (j < format.size() && (format[j] == 'l' || format[j] == 'h' || format[j] == 'z' || format[j] == 'q')) ++j;
        if (j >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        const char conversion = format[j];
        i = j;
        if (next >= arguments.size()) {
            out += "<missing>";
            continue;
        }
        const LogArgument& argument = arguments[next++];
        const bool isText = conversion == 's' || conversion == '@';
        const bool hidden = privacy == Privacy::Private || (privacy == Privacy::Unmarked && isText);
        out += hidden ? std::string("<private>") : renderValue(argument);
    }
    return out;
}

void StandardErrorSink::write(LogLevel level, std::string_view subsystem, std::string_view category,
                              std::string_view message) {
    std::string line;
    line.reserve(subsystem.size() + category.size() + message.size() + 8);
    line += level == LogLevel::Error ? "<3>" : "<5>";
    line.append(subsystem).append("[").append(category).append("]: ").append(message);
    line += '\n';
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to report a failing log
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

void CapturingSink::write(LogLevel level, std::string_view, std::string_view, std::string_view message) {
    std::lock_guard guard(mutex_);
    lines_.push_back({level, std::string(message)});
}

std::vector<CapturedLine> CapturingSink::lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
}

void CapturingSink::clear() {
    std::lock_guard guard(mutex_);
    lines_.clear();
}

LogSink* installLogSink(LogSink* sink) { return installedSink.exchange(sink); }

void Logger::emit(LogLevel level, std::string_view format, std::span<const LogArgument> arguments) const {
    LogSink* sink = installedSink.load();
    if (!sink) sink = &standardErrorSink();
    sink->write(level, subsystem_, category_, renderLogMessage(format, arguments));
}

}  // namespace smcd::platform
