// One served connection against the real client: replies beyond the request
// limit arrive whole, one beyond the client's limit is never sent, a method
// that throws ends its own connection only, and a peer is held to the time
// and input limits and noticed at once when it hangs up during a call.

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
#include "platform/ipc/linux/socket_connection.h"
#include "support/frames.h"
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
    {"blockWithReply:", {}, {WireType::text}},
    {"textWithReply:", {WireType::int64}, {WireType::text}},
});

// Calls of blockWithReply: wait until `released`, then reply "x".
struct Gate {
    std::atomic<int> entered{0};
    std::atomic<bool> released{false};
};

class ScriptedObject final : public platform::ipc::ExportedObject {
public:
    explicit ScriptedObject(Gate& gate) : gate_(gate) {}
    void invoke(std::size_t method, std::vector<WireValue> arguments, const platform::ipc::ReplyHandler& reply) override {
        if (method == 1) throw std::bad_alloc();
        if (method == 3) {
            ++gate_.entered;
            while (!gate_.released) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return reply({std::string("x")});
        }
        if (method == 4) return reply({std::string(static_cast<std::size_t>(std::get<std::int64_t>(arguments.at(0))), 'x')});
        reply({std::string(method == 2 ? kReplyLimit : kLargeReply, 'x')});
    }

private:
    Gate& gate_;
};

// Serves each accepted peer on a thread of its own, as the listener does.
class ScriptedService {
public:
    explicit ScriptedService(platform::ipc::ConnectionLimits limits = {.maxReplySize = kReplyLimit}) : limits_(limits) {
        listening_ = test::listenAt(path_);
    }

    // A client connected to a peer served until it goes away.
    client::Client connect() {
        auto client = client::Client::connect(path_);
        if (!client.has_value()) throw std::runtime_error("cannot connect");
        serveNext(0);
        return std::move(client.value());
    }
    // A socket served as the peer of effective uid `uid`.
    UniqueFd connectRaw(uid_t uid = 0) {
        UniqueFd socket = test::connectTo(path_);
        serveNext(uid);
        return socket;
    }

    Gate gate;
    std::atomic<int> invalidations{0};
    std::atomic<int> served{0};

private:
    void serveNext(uid_t uid) {
        UniqueFd peer(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!peer) throw std::runtime_error("cannot accept");
        threads_.emplace_back([this, uid, socket = std::move(peer)]() mutable {
            platform::ipc::SocketConnection connection(std::move(socket), {1, uid, 0}, limits_);
            connection.setExportedInterface(&kScripted);
            connection.setExportedObject(std::make_shared<ScriptedObject>(gate));
            connection.setInvalidationHandler([this] { ++invalidations; });
            connection.resume();
            connection.serve();
            ++served;
        });
    }

    platform::ipc::ConnectionLimits limits_;
    test::TempDir dir_;
    std::string path_ = dir_ / "s.socket";
    UniqueFd listening_;
    std::vector<std::jthread> threads_;
};

std::string call(std::uint64_t id, std::string_view selector, std::size_t padding = 0) {
    // Blanks are JSON whitespace: a call of any size.
    return platform::ipc::frame(R"({"id":)" + std::to_string(id) + R"(,"selector":")" + std::string(selector) +
                                R"(","arguments":[])" + std::string(padding, ' ') + "}")
        .value();
}

void sendAll(int socket, std::string_view bytes) {
    ASSERT_EQ(::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Whether a reply frame arrives before the connection ends.
bool answered(int socket) {
    platform::ipc::FrameReader reader(kReplyLimit);
    return test::nextFrame(socket, reader).has_value();
}

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
        EXPECT_EQ(lines[0].level, platform::LogLevel::error);
        EXPECT_TRUE(lines[0].message.ends_with(logged)) << lines[0].message;
    }
}

// The limit is the largest reply sent: a payload of exactly the limit goes
// out, one byte more ends the connection instead.
TEST(Connection, SendsAReplyOfExactlyItsLimitAndNotOneByteMore) {
    constexpr std::size_t kLimit = 4096;
    ScriptedService service({.maxReplySize = kLimit});
    const UniqueFd peer = service.connectRaw();
    // The payload of the reply carrying `length` bytes of text; empty once the connection has ended.
    platform::ipc::FrameReader reader(platform::ipc::kMaxReplyFrameSize);
    const auto reply = [&](std::uint64_t id, std::size_t length) {
        const auto call =
            platform::ipc::encodeCall(id, "textWithReply:", {WireValue(static_cast<std::int64_t>(length))}).value();
        ::send(peer.get(), call.data(), call.size(), MSG_NOSIGNAL);
        return test::nextFrame(peer.get(), reader).value_or("");
    };
    const std::size_t framing = reply(1, 0).size();  // ids of one digit each: the same framing every time
    EXPECT_EQ(reply(2, kLimit - framing).size(), kLimit);
    EXPECT_EQ(reply(3, kLimit - framing + 1).size(), 0u);
}

// A frame begun and left unfinished, or a reply left unread, ends its
// connection once its time is up; an idle connection stays as long as it likes.
TEST(Connection, StalledInputAndUnreadRepliesEndTheirConnectionInTimeWhileIdleOnesStay) {
    constexpr std::chrono::milliseconds kLimit{300};
    const std::string half = call(1, "largeTextWithReply:").substr(0, 20);
    for (const auto& [row, sent, line] :
         {std::tuple{"half a frame", half, "request not complete within 300 ms; connection invalidated"},
          {"reply never read", call(1, "largeTextWithReply:"), "reply not read within 300 ms; connection invalidated"},
          {"idle", std::string(), ""}}) {
        SCOPED_TRACE(row);
        platform::ScopedLogCapture log;
        ScriptedService service({.maxReplySize = kReplyLimit, .requestFrameTimeout = kLimit, .replyTimeout = kLimit});
        const UniqueFd peer = service.connectRaw();
        sendAll(peer.get(), sent);
        const bool ends = !std::string_view(line).empty();
        // Building the large reply alone may take a second; idleness is watched for a while.
        EXPECT_EQ(test::eventually([&] { return service.invalidations == 1; },
                                   ends ? std::chrono::milliseconds(10000) : 4 * kLimit),
                  ends);
        if (ends) {
            EXPECT_TRUE(log.contains(line));
        }
    }
}

// Past its user's share of the input budget, or past the budget, the
// connection whose input would pass it ends; those holding the rest finish
// their frames, each counted until its call is answered, and all of it is
// given back.
TEST(Connection, InputPastItsUsersShareOrTheBudgetEndsOnlyTheConnectionThatWouldPassIt) {
    constexpr std::size_t kKiB = 1024;
    platform::ScopedLogCapture log;
    platform::ipc::MemoryBudget budget(1024 * kKiB, 512 * kKiB);
    {
        ScriptedService service({.maxReplySize = kReplyLimit, .inputBudget = &budget});
        const std::string large = call(1, "blockWithReply:", 450 * kKiB);
        std::vector<UniqueFd> holders;
        for (const uid_t uid : {501, 502}) {
            holders.push_back(service.connectRaw(uid));
            sendAll(holders.back().get(), std::string_view(large).substr(0, 400 * kKiB));
            ASSERT_TRUE(test::eventually([&] { return budget.heldBy(uid) == 400 * kKiB; }));
        }
        for (const auto& [uid, line] :
             {std::pair{uid_t{501}, "buffered input of uid 501 at its share of 524288 bytes; connection invalidated"},
              {uid_t{503}, "buffered input of all connections at its limit of 1048576 bytes; connection invalidated"}}) {
            const UniqueFd passing = service.connectRaw(uid);
            const std::string over = large.substr(0, 300 * kKiB);
            (void)::send(passing.get(), over.data(), over.size(), MSG_NOSIGNAL);  // cut short when it is refused
            EXPECT_TRUE(test::eventually([&, text = line] { return log.contains(text); })) << line;
        }
        for (const UniqueFd& holder : holders) sendAll(holder.get(), std::string_view(large).substr(400 * kKiB));
        EXPECT_TRUE(test::eventually([&] { return service.gate.entered == 2; }));
        EXPECT_EQ(budget.heldBy(501), large.size()) << "a frame not counted while its call runs";
        service.gate.released = true;
        for (const UniqueFd& holder : holders) EXPECT_TRUE(answered(holder.get())) << "a connection within its share was ended";
        EXPECT_TRUE(test::eventually([&] { return service.invalidations == 2; }));
    }
    EXPECT_EQ(budget.inUse(), 0u) << "every connection gives its share back";
}

// One user's unread replies hold no more than its share of the reply
// budget: the reply that would pass it ends its connection unsent, while
// another user's large reply arrives whole.
TEST(Connection, UnreadRepliesOfOneUserStayWithinItsShare) {
    constexpr std::size_t kShare = 5 * kLargeReply / 2;  // a reply with its frame, then that frame unread: once, not twice
    platform::ScopedLogCapture log;
    platform::ipc::MemoryBudget replies(4 * kShare, kShare);
    ScriptedService service({.maxReplySize = kReplyLimit, .replyBudget = &replies});
    std::vector<UniqueFd> unread;
    for (int i = 0; i < 2; ++i) {
        unread.push_back(service.connectRaw(501));
        sendAll(unread.back().get(), call(1, "largeTextWithReply:"));
        ASSERT_TRUE(test::eventually([&] { return replies.heldBy(501) > 0; }));
    }
    EXPECT_TRUE(test::eventually([&] { return service.invalidations == 1; }));
    EXPECT_LE(replies.heldBy(501), kShare);
    EXPECT_TRUE(log.contains("replies of uid 501 at their share of " + std::to_string(kShare) +
                             " bytes; connection invalidated"));
    const UniqueFd other = service.connectRaw(502);
    sendAll(other.get(), call(1, "largeTextWithReply:"));
    EXPECT_TRUE(answered(other.get()));
}

// A frame trickled in a byte at a time ends at the frame limit counted from
// its first byte: each byte that arrives in time buys the frame no more.
TEST(Connection, AFrameTrickledInEndsAtTheLimitFromItsFirstByte) {
    ScriptedService service({.maxReplySize = kReplyLimit, .requestFrameTimeout = std::chrono::milliseconds(300)});
    const UniqueFd peer = service.connectRaw();
    const std::string frame = call(1, "largeTextWithReply:");
    std::size_t sent = 0;
    for (; sent < frame.size() && service.invalidations == 0; ++sent) {
        (void)::send(peer.get(), frame.data() + sent, 1, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(service.invalidations, 1);
    EXPECT_LT(sent, frame.size()) << "the whole frame went in, a byte every 100 ms";
}

// A peer that hangs up while its call runs ends its connection then and
// there; its reply and its calls still unread go nowhere. One that only
// stops writing waits for its replies as usual.
TEST(Connection, APeerThatHangsUpDuringACallEndsItsConnectionAtOnce) {
    for (const int how : {SHUT_RDWR, SHUT_WR}) {
        SCOPED_TRACE(how == SHUT_RDWR ? "hung up" : "stopped writing");
        ScriptedService service;
        UniqueFd peer = service.connectRaw();
        sendAll(peer.get(), call(1, "blockWithReply:") + call(2, "blockWithReply:"));
        ASSERT_TRUE(test::eventually([&] { return service.gate.entered == 1; }));
        if (how == SHUT_RDWR) peer.reset();
        else ::shutdown(peer.get(), SHUT_WR);
        // The call is held until released, so the hang-up may take its time;
        // only the wait for what must not come is short.
        const auto wait = how == SHUT_RDWR ? std::chrono::milliseconds(10000) : std::chrono::milliseconds(500);
        EXPECT_EQ(test::eventually([&] { return service.invalidations == 1; }, wait), how == SHUT_RDWR)
            << "while the call still runs";
        service.gate.released = true;
        // Drained to the end, which comes once both calls are answered.
        for (char buffer[65536]; peer && ::recv(peer.get(), buffer, sizeof buffer, 0) > 0;) {
        }
        ASSERT_TRUE(test::eventually([&] { return service.served == 1; }));
        EXPECT_EQ(service.gate.entered, how == SHUT_RDWR ? 1 : 2);
        EXPECT_EQ(service.invalidations, 1);
    }
}

}  // namespace
}  // namespace smcd
