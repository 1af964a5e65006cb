// The log's rendering, what a sink is handed, and the journal's line bytes.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "common/unique_fd.h"
#include "platform/log/logger.h"
#include "platform/log/refusal_report.h"
#include "platform/log/request_log_lines.h"
#include "support/log_capture.h"
#include "support/process.h"

namespace smcd::platform {
namespace {

struct KeptRecord {
    LogLevel level;
    std::string format;
    std::vector<LogArgument> arguments;
};

struct KeepingSink final : LogSink {
    void write(const LogRecord& record) override {
        kept.push_back({record.level, std::string(record.format), {record.arguments.begin(), record.arguments.end()}});
    }
    std::string rendered(std::size_t i) const { return renderLogMessage(kept.at(i).format, kept.at(i).arguments); }
    std::vector<KeptRecord> kept;
};

// A sink is handed the literal format and each value apart; rendered, text
// shows only where marked public, and numbers unless marked private.
TEST(Log, SinkGetsTheLiteralFormatAndEachValueApartAndRenderingHidesWhatIsPrivate) {
    KeepingSink sink;
    const Logger logger("sub", "cat", sink);
    SMCD_LOG(logger, LogLevel::error, "removal failed [%{public}s]: %{public}ld (%{private}zu)", "appBundle", -13L,
             std::size_t{7});
    EXPECT_EQ(sink.kept.at(0).level, LogLevel::error);
    EXPECT_EQ(sink.kept.at(0).format, "removal failed [%{public}s]: %{public}ld (%{private}zu)");
    EXPECT_EQ(sink.kept.at(0).arguments, (std::vector<LogArgument>{std::string_view("appBundle"), std::int64_t{-13},
                                                                   std::uint64_t{7}}));
    const std::string secret = "/Users/me/secret";
    SMCD_LOG(logger, LogLevel::notice, "%{public}s|%{private}s|%s|%{public}d|%u|%{private}lu|100%%", "shown", secret,
             std::string_view("unmarked"), -4, 5u, 6ul);
    EXPECT_EQ(sink.rendered(1), "shown|<private>|<private>|-4|5|<private>|100%");
}

// The platform's sink on Linux: one line per call on standard error, with the
// syslog priority the journal files it under.
TEST(Log, JournalLinesCarryThePriorityTheSubsystemAndTheCategory) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const UniqueFd reader(ends[0]);
    const UniqueFd writer(ends[1]);
    const UniqueFd savedStderr(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
    ASSERT_TRUE(savedStderr);
    ASSERT_EQ(::dup2(writer.get(), STDERR_FILENO), STDERR_FILENO);
    const Logger logger("com.example.sub", "cat", platformLogSink());
    SMCD_LOG(logger, LogLevel::notice, "pid %{public}d ok", 42);
    SMCD_LOG(logger, LogLevel::error, "refused: %{private}s", "/secret");
    ::dup2(savedStderr.get(), STDERR_FILENO);

    char buffer[256];
    const ssize_t n = ::read(reader.get(), buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)),
              "<5>com.example.sub[cat]: pid 42 ok\n<3>com.example.sub[cat]: refused: <private>\n");
}

// A request's first lines go out as they are; the rest are counted in one
// line at its end, at the highest level among them. Lines throttled already,
// and lines outside any request, are never held back.
TEST(Log, ARequestWritesItsFirstLinesThenOneCountingTheRest) {
    ScopedLogCapture capture;
    KeepingSink unused;  // the capture takes every line
    const Logger logger("sub", "cat", unused);
    {
        const RequestLogLines request(logger, "measure:", 2);
        for (int i = 0; i < 5; ++i) SMCD_LOG(logger, i == 3 ? LogLevel::error : LogLevel::notice, "item %{public}d", i);
        RefusalReport refusals("refusals of a test");
        SMCD_LOG_REFUSAL(refusals, "throttled (%{public}zu more since the last such line)");
    }
    SMCD_LOG(logger, LogLevel::notice, "after");
    EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{{LogLevel::notice, "item 0"},
                                                          {LogLevel::notice, "item 1"},
                                                          {LogLevel::error, "throttled (0 more since the last such line)"},
                                                          {LogLevel::error, "3 more lines of request measure: not logged"},
                                                          {LogLevel::notice, "after"}}));
}

// What a throttle still counts when refusals stop is written once its
// interval is over, with no refusal to carry it.
TEST(Log, AThrottledCountIsWrittenWhenItsIntervalEndsWithoutAnotherRefusal) {
    ScopedLogCapture capture;
    {
        // Long enough that the three refusals fall in one interval on a loaded machine.
        RefusalReport report("refusals of a test", std::chrono::seconds(1));
        for (int i = 0; i < 3; ++i) SMCD_LOG_REFUSAL(report, "refused (%{public}zu more since the last such line)");
        const std::vector<CapturedLine> expected = {{LogLevel::error, "refused (0 more since the last such line)"},
                                                    {LogLevel::error, "2 more refusals of a test since the last such line"}};
        EXPECT_TRUE(test::eventually([&] { return capture.lines().size() == 2; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // and once only
        EXPECT_EQ(capture.lines(), expected);
    }
}

}  // namespace
}  // namespace smcd::platform
