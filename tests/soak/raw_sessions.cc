#include "raw_sessions.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <optional>
#include <random>

#include "protocol/vornik_fan_control_protocol.h"
#include "platform/ipc/wire.h"
#include "support/daemon.h"

namespace smcd::soak {
namespace {

using platform::ipc::WireValue;

// A daemon that stops answering turns into a failure, not a hung suite.
void limitWaiting(int fd) {
    timeval limit{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

bool sendAll(int fd, const std::string& bytes) {
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Everything the daemon sends until it closes; nothing if a read times out.
std::optional<std::string> readToEnd(int fd) {
    std::string all;
    std::array<char, 16 * 1024> buffer;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n > 0) {
            all.append(buffer.data(), static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
        return all;  // end of stream, or reset after the daemon gave up on us
    }
}

struct PlannedCall {
    Method method;
    std::vector<WireValue> arguments;
};

PlannedCall cheapCall(std::mt19937& random) {
    switch (random() % 6) {
        case 0: return {Method::ping, {}};
        case 1: return {Method::capabilities, {}};
        case 2: return {Method::measurePrivilegedPaths, {std::vector<std::string>{"/Library/Caches"}}};
        case 3: return {Method::deleteLocalSnapshots, {std::int64_t{1}, std::string("/")}};
        case 4: return {Method::removeSystemCachePaths, {std::vector<std::string>{"/private/etc/passwd"}}};
        default:
            return {Method::setLaunchdItem, {std::string("com.apple.soak"), std::string("/Library/LaunchDaemons/x.plist"), true}};
    }
}

void pipelinedBurst(const ClientPlan& plan, std::mt19937& random, Tally& tally) {
    UniqueFd fd = test::connectTo(plan.socketPath);
    if (!fd) return tally.fail("pipelined: cannot connect");
    limitWaiting(fd.get());
    const std::size_t count = 8 + random() % 40;
    std::vector<Method> methods;
    std::string burst;
    for (std::uint64_t id = 1; id <= count; ++id) {
        PlannedCall call = cheapCall(random);
        burst += platform::ipc::encodeCall(id, selectorOf(call.method), call.arguments);
        methods.push_back(call.method);
    }
    if (!sendAll(fd.get(), burst)) return tally.fail("pipelined: the daemon stopped reading");
    // Hanging up our side first: the daemon must still answer everything
    // it has read, then close.
    ::shutdown(fd.get(), SHUT_WR);
    const auto received = readToEnd(fd.get());
    if (!received) return tally.fail("pipelined: no end of stream after the replies");

    platform::ipc::FrameReader reader;
    reader.append(*received);
    std::string payload;
    const auto& interface = protocol::vornikFanControlInterface();
    for (std::uint64_t id = 1; id <= count; ++id) {
        if (reader.next(payload) != platform::ipc::FrameReader::Status::frame)
            return tally.fail("pipelined: reply " + std::to_string(id) + " of " + std::to_string(count) + " missing");
        const Method method = methods[id - 1];
        const auto reply = platform::ipc::decodeReply(payload, interface.methods()[static_cast<std::size_t>(method)].reply);
        if (!reply || reply->id != id) return tally.fail("pipelined: out of order or mistyped: " + payload);
        tally.answered(method);
    }
    if (reader.next(payload) != platform::ipc::FrameReader::Status::needMore)
        tally.fail("pipelined: more replies than calls");
}

void misbehave(const ClientPlan& plan, std::mt19937& random, Tally& tally) {
    UniqueFd fd = test::connectTo(plan.socketPath);
    if (!fd) return tally.fail("misbehaving: cannot connect");
    limitWaiting(fd.get());
    const std::string ping = platform::ipc::encodeCall(1, "pingWithReply:", nlohmann::json::array());
    switch (random() % 4) {
        case 0:  // half a call, then gone
            sendAll(fd.get(), ping.substr(0, ping.size() / 2));
            return;
        case 1: {  // a good call, then garbage: the good one is still answered
            sendAll(fd.get(), ping + platform::ipc::frame("{\"id\": 2}"));
            const auto received = readToEnd(fd.get());
            platform::ipc::FrameReader reader;
            std::string payload;
            if (received) reader.append(*received);
            if (!received || reader.next(payload) != platform::ipc::FrameReader::Status::frame ||
                reader.next(payload) != platform::ipc::FrameReader::Status::needMore)
                tally.fail("misbehaving: a good call before garbage was not answered exactly once");
            return;
        }
        case 2: {  // a selector the protocol does not have: closed, unanswered
            sendAll(fd.get(), platform::ipc::encodeCall(3, "formatDiskWithReply:", nlohmann::json::array()));
            const auto received = readToEnd(fd.get());
            if (!received || !received->empty()) tally.fail("misbehaving: an unknown selector got an answer");
            return;
        }
        default:  // connect and hang up
            return;
    }
}

}  // namespace

void runPipelinedClient(const ClientPlan& plan, Tally& tally) {
    std::mt19937 random(plan.seed);
    while (std::chrono::steady_clock::now() < plan.deadline) pipelinedBurst(plan, random, tally);
}

void runMisbehavingClient(const ClientPlan& plan, Tally& tally) {
    std::mt19937 random(plan.seed);
    while (std::chrono::steady_clock::now() < plan.deadline) misbehave(plan, random, tally);
}

}  // namespace smcd::soak
