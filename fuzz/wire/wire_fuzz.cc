// libFuzzer target for the IPC stand-in; the input is a byte stream as a peer
// would send it. Invariants:
//  - FrameReader yields the same frames whatever the read boundaries, and
//    stops for good at a bad length;
//  - a payload that decodes as a call or a reply encodes to one that decodes
//    to the same; base64 round-trips any bytes;
//  - a real SocketConnection, whose exported object replies twice to every call,
//    answers each call that decodes before the first frame that does not
//    exactly once, in order, with the call's id and the reply; then
//    its invalidation handler runs once and the served descriptor is closed.
#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/ipc/linux/socket_connection.h"
#include "protocol/vornik_fan_control_protocol.h"
#include "support/fuzz_input.h"

namespace {

using namespace smcd::platform::ipc;
using smcd::fuzz::violated;

// Appends `stream` in pieces (all at once for piece 0), draining after each.
// A bad length ends the list with an empty payload, which no frame can have.
std::vector<std::string> framesOf(std::string_view stream, std::size_t piece) {
    std::vector<std::string> frames;
    FrameReader reader;
    std::string payload;
    do {
        const std::size_t n = piece == 0 || piece > stream.size() ? stream.size() : piece;
        reader.append(stream.substr(0, n));
        stream.remove_prefix(n);
        piece = piece == 0 ? 0 : piece * 5 % 11 + 1;
        FrameReader::Status status;
        while ((status = reader.next(payload)) == FrameReader::Status::frame) frames.push_back(payload);
        if (status == FrameReader::Status::invalid) {
            reader.append(std::string_view("\0\0\0\2{}", 6));
            if (reader.next(payload) != FrameReader::Status::invalid) violated("the frame reader stops for good at a bad length");
            frames.emplace_back();
            break;
        }
    } while (!stream.empty());
    return frames;
}

void checkRoundTrips(std::string_view payload, const Interface& interface) {
    if (const auto call = decodeCall(payload, interface)) {
        const auto encoded = encodeCall(call->id, interface.methods()[call->method].selector, call->arguments);
        if (!encoded) violated("a decoded call can be encoded");
        const auto again = decodeCall(std::string_view(*encoded).substr(kFrameHeaderSize), interface);
        if (!again || again->id != call->id || again->method != call->method || again->arguments != call->arguments)
            violated("a decoded call survives encoding");
    }
    for (const auto& method : interface.methods())
        if (const auto reply = decodeReply(payload, method.reply)) {
            const auto encoded = encodeReply(*reply);
            if (!encoded) violated("a decoded reply can be encoded");
            const auto again = decodeReply(std::string_view(*encoded).substr(kFrameHeaderSize), method.reply);
            if (!again || again->id != reply->id || again->values != reply->values) violated("a decoded reply survives encoding");
        }
    const auto decoded = base64Decode(base64Encode(payload));
    if (!decoded || *decoded != payload) violated("base64 round-trips any bytes");
}

// A value of `type`, varied by `salt`.
WireValue valueOf(WireType type, std::int64_t salt) {
    const std::string text = std::to_string(salt) + "\xC3\xA9";
    switch (type) {
        case WireType::int64: return salt;
        case WireType::boolean: return salt % 2 == 0;
        case WireType::text:
        case WireType::optionalText: return text;
        case WireType::data: return Data{text};
        case WireType::textArray: return std::vector<std::string>{text};
    }
    violated("every reply type has a value");
}

// Replies twice to every call: only one reply may reach the peer.
struct TwiceReplying final : ExportedObject {
    void invoke(std::size_t method, std::vector<WireValue>, const ReplyHandler& reply) override {
        auto& values = replies.emplace_back();
        for (const WireType type : smcd::vornikFanControlInterface().methods()[method].reply)
            values.push_back(valueOf(type, static_cast<std::int64_t>(replies.size() + values.size())));
        reply(values);
        reply(values);
    }
    std::vector<std::vector<WireValue>> replies;
};

// The whole stream is written before serving starts and the replies wait in
// the peer's buffer, so no thread is needed; streams up to libFuzzer's usual
// 4096 bytes make replies that fit that buffer many times over.
void checkConnection(std::string_view stream, const std::vector<std::string>& frames, const Interface& interface) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) violated("a socket pair can be made");
    const smcd::UniqueFd peer(pair[1]);
    if (::send(peer.get(), stream.data(), stream.size(), MSG_NOSIGNAL) != ssize_t(stream.size())) violated("the stream fits the buffer");
    ::shutdown(peer.get(), SHUT_WR);
    const auto object = std::make_shared<TwiceReplying>();
    int invalidations = 0;
    SocketConnection connection(smcd::UniqueFd(pair[0]), PeerCredentials{::getpid(), ::geteuid(), ::getegid()});
    connection.setExportedInterface(&interface);
    connection.setExportedObject(object);
    connection.setInvalidationHandler([&invalidations] { ++invalidations; });
    connection.resume();
    connection.serve();
    std::string output;
    char buffer[16384];
    for (ssize_t n; (n = ::recv(peer.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) output.append(buffer, static_cast<std::size_t>(n));

    if (invalidations != 1) violated("the invalidation handler runs exactly once");
    if (::fcntl(pair[0], F_GETFD) != -1 || errno != EBADF) violated("the served descriptor is closed when serving ends");
    const auto replies = framesOf(output, 0);
    std::string reframed;
    for (const auto& payload : replies) reframed += frame(payload).value();
    if (reframed != output) violated("the peer receives whole reply frames only");
    std::size_t answered = 0;  // the calls before the first frame that is none
    for (std::optional<Call> call; answered < frames.size() && (call = decodeCall(frames[answered], interface)); ++answered) {
        if (answered >= replies.size() || answered >= object->replies.size()) violated("every call is delivered and answered");
        const auto reply = decodeReply(replies[answered], interface.methods()[call->method].reply);
        if (!reply || reply->id != call->id) violated("replies come in call order, with the call's id");
        if (reply->values != object->replies[answered]) violated("a reply carries what the callee replied");
    }
    if (replies.size() != answered || object->replies.size() != answered)
        violated("exactly the calls before the first malformed frame are delivered and answered once");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    const Interface& interface = smcd::vornikFanControlInterface();
    const auto whole = framesOf(stream, 0);
    if (framesOf(stream, size % 7 + 1) != whole) violated("the frame reader splits alike whatever the read boundaries");
    for (const auto& payload : whole) checkRoundTrips(payload, interface);
    if (whole.empty()) checkRoundTrips(stream, interface);
    if (size <= 4096) checkConnection(stream, whole, interface);
    return 0;
}
