#include "platform/log/logger.h"

#include <atomic>

#include "platform/log/request_log_lines.h"

namespace smcd::platform {
namespace {

enum class Privacy { unmarked, shown, hidden };

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
        Privacy privacy = Privacy::unmarked;
        if (j < format.size() && format[j] == '{') {
            const std::size_t close = format.find('}', j);
            if (close == std::string_view::npos) {
                out.append(format.substr(i));
                break;
            }
            const std::string_view mark = format.substr(j + 1, close - j - 1);
            privacy = mark == "public" ? Privacy::shown : mark == "private" ? Privacy::hidden : Privacy::unmarked;
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
        const bool hidden = privacy == Privacy::hidden || (privacy == Privacy::unmarked && isText);
        out += hidden ? std::string("<private>") : renderValue(argument);
    }
    return out;
}

LogSink* installLogSink(LogSink* sink) { return installedSink.exchange(sink); }

bool Logger::emit(LogLevel level, std::string_view format, std::span<const LogArgument> arguments) const {
    if (!RequestLogLines::admit(level)) return false;
    LogSink* sink = installedSink.load();
    if (!sink) sink = &sink_;
    sink->write(LogRecord{level, subsystem_, category_, format, arguments});
    return true;
}

}  // namespace smcd::platform
