// One served connection against the real client: replies beyond the request
// limit arrive whole, one beyond the client's limit is never sent, and a
// method that throws ends its own connection only.

#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/client.h"
#include "platform/ipc/connection.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/unix_socket.h"

namespace smcd {
namespace {

// Replies above 16 MiB pass; what a peer would refuse is set lower than the
// protocol's gigabyte so that refusing it costs megabytes, not gigabytes.
constexpr std::size_t kLargeReply = platform::ipc::kMaxFrameSize + platform::ipc::kMaxFrameSize / 4;
constexpr std::size_t kReplyLimit = platform::ipc::kMaxFrameSize + platform::ipc::kMaxFrameSize / 2;

using platform::ipc::WireType;
using platform::ipc::WireValue;

const platform::ipc::Interface kScripted({
    {"largeTextWithReply:", {}, {WireType::text}},
    {"throwWithReply:", {}, {WireType::text}},
    {"oversizedTextWithReply:", {}, {WireType::text}},
});

class ScriptedObject final : public platform::ipc::ExportedObject {
public:
    void invoke(std::size_t method, std::vector<WireValue>, const platform::ipc::ReplyHandler& reply) override {
        if (method == 1) throw std::bad_alloc();
        reply({std::string(method == 2 ? kReplyLimit : kLargeReply, 'x')});
    }
};

// Serves each accepted peer on a thread of its own, as the listener does.
class ScriptedService {
public:
    ScriptedService() {
        listening_ = test::listenAt(path_);
    }

    // A client connected to a peer served until it goes away.
    client::Client connect() {
        auto client = client::Client::connect(path_);
        UniqueFd peer(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.has_value() || !peer) throw std::runtime_error("cannot connect");
        threads_.emplace_back([this, socket = std::move(peer)]() mutable {
            platform::ipc::Connection connection(std::move(socket), {1, 0, 0}, kReplyLimit);
            connection.setExportedInterface(&kScripted);
            connection.setExportedObject(std::make_shared<ScriptedObject>());
            connection.setInvalidationHandler([this] { ++invalidations; });
            connection.resume();
            connection.serve();
        });
        return std::move(client.value());
    }

    std::atomic<int> invalidations{0};

private:
    test::TempDir dir_;
    std::string path_ = dir_ / "s.socket";
    UniqueFd listening_;
    std::vector<std::jthread> threads_;
};

// A method that throws, or a reply its peer would refuse, ends that
// connection alone, and says why; a large reply on another arrives whole.
TEST(Connection, AFailedCallInvalidatesItsConnectionAloneWhileALargeReplyArrivesWhole) {
    for (const auto& [selector, logged] :
         {std::pair{"throwWithReply:", "call failed with an exception; connection invalidated: std::bad_alloc"},
          {"oversizedTextWithReply:", " bytes exceeds the reply limit; connection invalidated"}}) {
        SCOPED_TRACE(selector);
        platform::ScopedLogCapture log;
        ScriptedService service;
        auto failing = service.connect();
        auto bystander = service.connect();
        const auto failed = failing.callUnchecked(selector, nlohmann::json::array());
        ASSERT_FALSE(failed.has_value());
        EXPECT_EQ(failed.error().kind, client::FailureKind::invalidated);
        const auto large = bystander.callUnchecked("largeTextWithReply:", nlohmann::json::array());
        ASSERT_TRUE(large.has_value()) << large.error().reason;
        EXPECT_EQ(large.value().at(0).get<std::string>().size(), kLargeReply) << "above the request limit, yet whole";
        EXPECT_TRUE(test::eventually([&] { return service.invalidations.load() == 1; }));
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, platform::LogLevel::Error);
        EXPECT_TRUE(lines[0].message.ends_with(logged)) << lines[0].message;
    }
}

}  // namespace
}  // namespace smcd
