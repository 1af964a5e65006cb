// What one request may cost, in process: its log lines, its reply memory
// against its user's share, and its items once its connection has ended.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/limits.h"
#include "daemon/fan_service.h"
#include "protocol/vornik_fan_control_protocol.h"
#include "support/log_capture.h"

namespace smcd {
namespace {

using protocol::Value;
using protocol::Method;

struct Request {
    std::shared_ptr<platform::ipc::ConnectionState> connection = std::make_shared<platform::ipc::ConnectionState>();
    std::optional<std::vector<Value>> reply;

    // Calls `method` as peer `uid` with the budget given; the reply, if any, is kept.
    void call(Method method, std::vector<Value> arguments, std::uint32_t uid = 501,
              platform::ipc::MemoryBudget& replies = platform::ipc::replyBudget()) {
        const auto service = std::make_shared<FanService>(nullptr, uid, connection, replies);
        exportedObject(service)->invoke(static_cast<std::size_t>(method), std::move(arguments),
                                        [&](std::vector<Value> values) { reply = std::move(values); });
    }
    std::size_t records() const {
        const std::string& data = std::get<protocol::Data>(reply.value().at(0)).bytes;
        return data == "[]" ? 0 : static_cast<std::size_t>(std::count(data.begin(), data.end(), '{'));
    }
};

std::vector<std::string> numbered(std::size_t count) {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < count; ++i) texts.push_back(std::to_string(i));
    return texts;
}

// 300,000 refused paths get every record but only the first lines and one
// counting the rest; 300,000 task ids are refused whole, nothing run, in one
// line and unanswered.
TEST(Requests, ManyItemsWriteAFewLinesAndTooManyTasksAreRefusedWhole) {
    platform::ScopedLogCapture log;
    Request measured;
    measured.call(Method::measurePrivilegedPaths, {numbered(300'000)});
    EXPECT_EQ(measured.records(), 300'000u);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), limits::kLogLinesPerRequest + 1);
    EXPECT_EQ(lines.front().message, "measurement refused by screening: <private>");
    EXPECT_EQ(lines.back(), (platform::CapturedLine{platform::LogLevel::error,
                                                    "299968 more lines of request measurePrivilegedPathsWithPaths:reply: "
                                                    "not logged"}));

    platform::ScopedLogCapture refusal;
    Request maintenance;
    maintenance.call(Method::runMaintenance, {std::vector<std::string>(300'000, "unknown")});
    EXPECT_FALSE(maintenance.reply) << "left unanswered, its connection ends";
    EXPECT_EQ(refusal.lines(), (std::vector<platform::CapturedLine>{
                                   {platform::LogLevel::error,
                                    "maintenance request of 300000 task ids refused: at most 16 may be named; nothing "
                                    "run (0 more since the last such line)"}}));
}

// A request whose records would pass its user's share of the reply budget
// is refused before any work, and one whose text grows past it as soon as it
// does, no further item run, each left unanswered; another user's goes on,
// and nothing stays held.
TEST(Requests, RecordsPastTheUsersShareEndTheConnectionAndLeaveOthersServed) {
    platform::ScopedLogCapture log;
    platform::ipc::MemoryBudget replies(4096, 1024);
    Request large, small, grown;
    large.call(Method::measurePrivilegedPaths, {numbered(20)}, 501, replies);
    small.call(Method::measurePrivilegedPaths, {numbered(5)}, 502, replies);
    grown.call(Method::runMaintenance, {std::vector<std::string>(16, "unknown")}, 503, replies);
    EXPECT_FALSE(large.reply) << "left unanswered, its connection ends";
    EXPECT_EQ(small.records(), 5u);
    EXPECT_FALSE(grown.reply);
    const auto lines = log.lines();
    const auto ran = std::count_if(lines.begin(), lines.end(), [](const auto& line) {
        return line.message.starts_with("maintenance rejected");
    });
    EXPECT_GT(ran, 0);
    EXPECT_LT(ran, 16) << "tasks ran on after their reply could take no more";
    EXPECT_EQ(replies.inUse(), 0u);
    EXPECT_EQ(log.lines().front().message,
              "replies of uid 501 at their share of 1024 bytes; connection invalidated (0 more since the last such "
              "line)");
}

// The items of a request stop with its connection: the first item's line
// ends it here, and no further item is handled or answered.
TEST(Requests, ARequestStopsAtTheItemAfterItsConnectionEnds) {
    for (const auto& [method, arguments] :
         {std::pair{Method::measurePrivilegedPaths, std::vector<Value>{numbered(3)}},
          {Method::removeSystemCachePaths, {numbered(3)}},
          {Method::runMaintenance, {std::vector<std::string>{"a", "b", "c"}}}}) {
        Request request;
        const platform::ScopedLogCapture log([&] { request.connection->end(); });
        request.call(method, arguments);
        EXPECT_EQ(log.lines().size(), 1u) << static_cast<int>(method);
        EXPECT_FALSE(request.reply);
    }
}

}  // namespace
}  // namespace smcd
