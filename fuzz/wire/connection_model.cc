#include "connection_model.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <thread>

#include "common/unique_fd.h"
#include "platform/ipc/connection.h"

namespace smcd::fuzz {
namespace {

using platform::ipc::Call;
using platform::ipc::Data;
using platform::ipc::Interface;
using platform::ipc::WireType;
using platform::ipc::WireValue;

// Mostly well-behaved, so that long streams stay interesting.
constexpr std::array<Callee, 8> kBehaviours{Callee::repliesOnce,       Callee::repliesOnce,
                                            Callee::repliesTwice,      Callee::repliesOnce,
                                            Callee::neverReplies,      Callee::repliesOnce,
                                            Callee::repliesWrongTypes, Callee::repliesInvalidText};

bool hasTextReply(const std::vector<WireType>& types) {
    return std::any_of(types.begin(), types.end(),
                       [](WireType type) { return type == WireType::text || type == WireType::optionalText; });
}

WireValue valueFor(std::uint64_t salt, WireType type) {
    switch (type) {
        case WireType::int64: return static_cast<std::int64_t>(salt) - 7;
        case WireType::boolean: return (salt & 1) != 0;
        case WireType::text: return "reply " + std::to_string(salt);
        case WireType::optionalText:
            if (salt % 2 == 0) return nullptr;
            return "message " + std::to_string(salt);
        case WireType::data: return Data{std::string("[\x00\xff]", 4) + std::to_string(salt)};
        case WireType::textArray: return std::vector<std::string>{"a", std::to_string(salt)};
    }
    return nullptr;
}

// Same count, first value of a kind its type never takes.
std::vector<WireValue> wronglyTyped(std::vector<WireValue> values, const std::vector<WireType>& types) {
    if (values.empty()) return {WireValue(true)};
    values[0] = types[0] == WireType::int64 ? WireValue(true) : WireValue(std::int64_t{1});
    return values;
}

std::vector<WireValue> withInvalidText(std::vector<WireValue> values, const std::vector<WireType>& types) {
    for (std::size_t i = 0; i < types.size(); ++i)
        if (types[i] == WireType::text || types[i] == WireType::optionalText) values[i] = std::string("bad \xff\xfe");
    return values;
}

class ScriptedObject final : public platform::ipc::ExportedObject {
public:
    ScriptedObject(const Interface& interface, std::uint64_t script, std::size_t& invocations)
        : interface_(interface), script_(script), invocations_(invocations) {}

    void invoke(std::size_t method, std::vector<WireValue>, const platform::ipc::ReplyHandler& reply) override {
        const std::size_t ordinal = invocations_++;
        const std::vector<WireType>& types = interface_.methods()[method].reply;
        const std::uint64_t salt = ordinal * 31 + method;
        auto values = replyValuesFor(salt, types);
        switch (calleeFor(script_, ordinal)) {
            case Callee::repliesOnce:
                reply(std::move(values));
                break;
            case Callee::repliesTwice:
                reply(values);
                reply(replyValuesFor(salt + 1, types));
                break;
            case Callee::neverReplies:
                break;
            case Callee::repliesWrongTypes:
                reply(wronglyTyped(std::move(values), types));
                break;
            case Callee::repliesInvalidText:
                reply(withInvalidText(std::move(values), types));
                break;
        }
    }

private:
    const Interface& interface_;
    std::uint64_t script_;
    std::size_t& invocations_;
};

std::uint32_t bigEndian32(std::string_view bytes) {
    return (std::uint32_t{static_cast<unsigned char>(bytes[0])} << 24) |
           (std::uint32_t{static_cast<unsigned char>(bytes[1])} << 16) |
           (std::uint32_t{static_cast<unsigned char>(bytes[2])} << 8) | std::uint32_t{static_cast<unsigned char>(bytes[3])};
}

bool descriptorIsClosed(int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

}  // namespace

Callee calleeFor(std::uint64_t script, std::size_t ordinal) {
    return kBehaviours[(script >> (3 * (ordinal % 21))) & 7];
}

std::vector<WireValue> replyValuesFor(std::uint64_t salt, const std::vector<WireType>& types) {
    std::vector<WireValue> values;
    for (std::size_t i = 0; i < types.size(); ++i) values.push_back(valueFor(salt + i, types[i]));
    return values;
}

Expectation expectedFrom(std::string_view stream, std::uint64_t script, const Interface& interface) {
    Expectation expected;
    while (stream.size() >= platform::ipc::kFrameHeaderSize) {
        const std::size_t length = bigEndian32(stream);
        if (length == 0 || length > platform::ipc::kMaxFrameSize) break;
        if (stream.size() - platform::ipc::kFrameHeaderSize < length) break;
        const std::string_view payload = stream.substr(platform::ipc::kFrameHeaderSize, length);
        stream.remove_prefix(platform::ipc::kFrameHeaderSize + length);

        const std::optional<Call> call = platform::ipc::decodeCall(payload, interface);
        if (!call) break;
        const std::size_t ordinal = expected.invocations++;
        const std::vector<WireType>& types = interface.methods()[call->method].reply;
        const std::uint64_t salt = ordinal * 31 + call->method;
        const Callee callee = calleeFor(script, ordinal);
        if (callee == Callee::neverReplies || callee == Callee::repliesWrongTypes) break;
        if (callee == Callee::repliesInvalidText && hasTextReply(types)) break;
        expected.replies.push_back({call->id, call->method, replyValuesFor(salt, types)});
    }
    return expected;
}

Observation serveStream(std::string_view stream, std::uint64_t script, const Interface& interface) {
    Observation observed;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    const int servedFd = pair[0];
    UniqueFd peer(pair[1]);

    platform::ipc::Connection connection(UniqueFd(servedFd), platform::ipc::PeerCredentials{::getpid(), ::geteuid(), ::getegid()});
    connection.setExportedInterface(&interface);
    connection.setExportedObject(std::make_shared<ScriptedObject>(interface, script, observed.invocations));
    connection.setInvalidationHandler([&observed] { ++observed.invalidations; });
    connection.resume();
    std::thread server([&connection] { connection.serve(); });

    // The peer writes and reads at once: a connection that answers while
    // the stream is still arriving must never be able to wedge both sides.
    ::fcntl(peer.get(), F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    bool writing = true;
    if (stream.empty()) {
        ::shutdown(peer.get(), SHUT_WR);
        writing = false;
    }
    std::array<char, 16 * 1024> buffer;
    for (;;) {
        pollfd watch{peer.get(), static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (::poll(&watch, 1, -1) < 0) {
            if (errno == EINTR) continue;
            std::abort();
        }
        if (writing && (watch.revents & POLLOUT) != 0) {
            const ssize_t n = ::send(peer.get(), stream.data() + written, stream.size() - written, MSG_NOSIGNAL);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
                if (written == stream.size()) {
                    ::shutdown(peer.get(), SHUT_WR);
                    writing = false;
                }
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                writing = false;  // the connection gave up on us and closed
            }
        }
        if ((watch.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::recv(peer.get(), buffer.data(), buffer.size(), 0);
            if (n > 0) {
                observed.output.append(buffer.data(), static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            break;  // end of stream, or reset by a close with input left unread
        }
    }
    server.join();
    observed.socketClosed = descriptorIsClosed(servedFd);
    return observed;
}

}  // namespace smcd::fuzz
