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
        if (method == 2) {
            std::vector<WireValue> oversized;
            oversized.emplace_back(std::string(kReplyLimit, 'x'));
            return reply(std::move(oversized));
        }
        reply({std::string(kLargeReply, 'x')});
    }
};

// Serves each accepted peer on a thread of its own, as the listener does.
class ScriptedService {
public:
    explicit ScriptedService(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        listening_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(::bind(listening_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        EXPECT_EQ(::listen(listening_.get(), 4), 0);
    }
    ~ScriptedService() {
        for (auto& thread : threads_) thread.join();
    }

    // Accepts one peer and serves it until it goes away.
    void serveOne() {
        UniqueFd peer(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(peer.valid());
        threads_.emplace_back([this, socket = std::move(peer)]() mutable {
            platform::ipc::Connection connection(std::move(socket), {1, 0, 0}, kReplyLimit);
            connection.setExportedInterface(&kScripted);
            connection.setExportedObject(std::make_shared<ScriptedObject>());
            connection.setInvalidationHandler([this] { ++invalidations; });
            connection.resume();
            connection.serve();
        });
    }

    std::atomic<int> invalidations{0};

private:
    UniqueFd listening_;
    std::vector<std::thread> threads_;
};

TEST(Connection, ReplyLargerThanTheRequestLimitArrivesWhole) {
    test::TempDir dir;
    ScriptedService service(dir / "s.socket");
    auto client = client::Client::connect(dir / "s.socket");
    ASSERT_TRUE(client.has_value());
    service.serveOne();
    const auto reply = client.value().callUnchecked("largeTextWithReply:", nlohmann::json::array());
    ASSERT_TRUE(reply.has_value()) << reply.error().reason;
    EXPECT_EQ(reply.value().at(0).get<std::string>().size(), kLargeReply);
}

// A method that throws, or a reply its peer would refuse, ends that
// connection alone, and says why.
TEST(Connection, AFailedCallInvalidatesItsConnectionAlone) {
    const struct {
        const char* selector;
        std::string_view logged;  // how the one logged line ends
    } cases[] = {
        {"throwWithReply:", "call failed with an exception; connection invalidated: std::bad_alloc"},
        {"oversizedTextWithReply:", " bytes exceeds the reply limit; connection invalidated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selector);
        test::TempDir dir;
        platform::ScopedLogCapture log;
        ScriptedService service(dir / "s.socket");
        auto failing = client::Client::connect(dir / "s.socket");
        ASSERT_TRUE(failing.has_value());
        service.serveOne();
        auto bystander = client::Client::connect(dir / "s.socket");
        ASSERT_TRUE(bystander.has_value());
        service.serveOne();

        const auto failed = failing.value().callUnchecked(c.selector, nlohmann::json::array());
        ASSERT_FALSE(failed.has_value());
        EXPECT_EQ(failed.error().kind, client::FailureKind::invalidated);
        EXPECT_TRUE(bystander.value().callUnchecked("largeTextWithReply:", nlohmann::json::array()).has_value());
        EXPECT_TRUE(test::eventually([&] { return service.invalidations.load() == 1; }));
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, platform::LogLevel::Error);
        EXPECT_TRUE(lines[0].message.ends_with(c.logged)) << lines[0].message;
    }
}

}  // namespace
}  // namespace smcd
