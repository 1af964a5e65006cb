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
    void write(const LogRecord& record) override {
        const std::string message = renderLogMessage(record.format, record.arguments);
        std::string line;
        line.reserve(record.subsystem.size() + record.category.size() + message.size() + 8);
        line += record.level == LogLevel::error ? "<3>" : "<5>";
        line.append(record.subsystem).append("[").append(record.category).append("]: ").append(message);
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
