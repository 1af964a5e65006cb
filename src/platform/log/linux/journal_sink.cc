// The log's Linux side: lines on standard error, which the service manager
// hands to the journal, each with its syslog priority prefix.

#include <unistd.h>

#include <string>

#include "common/io.h"
#include "platform/log/logger.h"

namespace smcd::platform {
namespace {

// Writes each line with one write(2): "<5>subsystem[category]: message".
class JournalSink final : public LogSink {
public:
    void write(LogLevel level, std::string_view subsystem, std::string_view category,
               std::string_view message) override {
        std::string line;
        line.reserve(subsystem.size() + category.size() + message.size() + 8);
        line += level == LogLevel::Error ? "<3>" : "<5>";
        line.append(subsystem).append("[").append(category).append("]: ").append(message);
        line += '\n';
        // Nowhere is left to report a failing log: its failure is dropped.
        (void)io::writeAll(STDERR_FILENO, line);
    }
};

}  // namespace

LogSink& platformLogSink() {
    static JournalSink sink;
    return sink;
}

}  // namespace smcd::platform
