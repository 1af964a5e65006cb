// One served connection against the real client: replies beyond the request
// limit arrive whole, one beyond the client's limit is never sent, and a
// method that throws ends its own connection only.

#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <array>
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

// The limit is the largest reply sent: a payload of exactly the limit goes
// out, one byte more ends the connection instead.
TEST(Connection, SendsAReplyOfExactlyItsLimitAndNotOneByteMore) {
    constexpr std::size_t kLimit = 4096;
    const platform::ipc::Interface sized({{"textWithReply:", {WireType::int64}, {WireType::text}}});
    struct Sized final : platform::ipc::ExportedObject {
        void invoke(std::size_t, std::vector<WireValue> arguments, const platform::ipc::ReplyHandler& reply) override {
            reply({std::string(static_cast<std::size_t>(std::get<std::int64_t>(arguments.at(0))), 'x')});
        }
    };
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    platform::ipc::Connection connection(UniqueFd(ends[1]), {1, 0, 0}, kLimit);
    connection.setExportedInterface(&sized);
    connection.setExportedObject(std::make_shared<Sized>());
    connection.resume();
    std::jthread served([&] { connection.serve(); });
    const UniqueFd peer(ends[0]);  // closed first: a connection still serving then ends
    // The payload of the reply carrying `length` bytes of text; empty once the connection has ended.
    platform::ipc::FrameReader reader(platform::ipc::kMaxReplyFrameSize);
    const auto reply = [&](std::uint64_t id, std::size_t length) {
        const auto call = platform::ipc::encodeCall(id, "textWithReply:", {WireValue(static_cast<std::int64_t>(length))});
        ::send(peer.get(), call.data(), call.size(), MSG_NOSIGNAL);
        std::string payload;
        for (std::array<char, 4096> buffer; reader.next(payload) != platform::ipc::FrameReader::Status::frame;) {
            const ssize_t n = ::recv(peer.get(), buffer.data(), buffer.size(), 0);
            if (n <= 0) return std::string();
            reader.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        }
        return payload;
    };
    const std::size_t framing = reply(1, 0).size();  // ids of one digit each: the same framing every time
    EXPECT_EQ(reply(2, kLimit - framing).size(), kLimit);
    EXPECT_EQ(reply(3, kLimit - framing + 1).size(), 0u);
}

}  // namespace
}  // namespace smcd
