// libFuzzer target for the IPC stand-in, fed arbitrary byte streams as a
// peer would send them. The input's first eight bytes script the exported
// object (how it answers each call); the rest is the stream. Invariants:
//  - FrameReader splits a stream into the frames its length headers describe,
//    whatever the read boundaries, and stops for good at a bad length;
//  - a payload that decodes as a call or a reply encodes again to one that
//    decodes to the same value; base64 round-trips any bytes;
//  - a real Connection answers every well-formed call before the first
//    malformed one exactly once, in order, with what the exported object
//    replied first; nothing follows a callee that breaks the contract; the
//    invalidation handler runs once and the served descriptor is closed.
// Memory stays bounded by the input: the largest frame the reader waits for
// is capped, and libFuzzer's -rss_limit_mb turns growth into a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "connection_model.h"
#include "protocol/vornik_fan_control_protocol.h"
#include "platform/ipc/wire.h"

namespace {

using smcd::platform::ipc::Call;
using smcd::platform::ipc::FrameReader;
using smcd::platform::ipc::Interface;
using smcd::platform::ipc::Reply;
using smcd::platform::ipc::WireType;

// Streams above this are only decoded, not served: the socket round trip
// adds nothing that a shorter stream could not reach.
constexpr std::size_t kLargestServedStream = 256 * 1024;

[[noreturn]] void violated(const char* invariant) {
    std::fprintf(stderr, "wire_fuzz: invariant broken: %s\n", invariant);
    std::abort();
}

struct Framing {
    std::vector<std::string> payloads;
    bool invalid = false;  // stopped at a bad length rather than for want of bytes
};

Framing framesByHeaders(std::string_view stream) {
    Framing framing;
    while (stream.size() >= smcd::platform::ipc::kFrameHeaderSize) {
        const std::size_t length = (std::size_t{static_cast<unsigned char>(stream[0])} << 24) |
                                   (std::size_t{static_cast<unsigned char>(stream[1])} << 16) |
                                   (std::size_t{static_cast<unsigned char>(stream[2])} << 8) |
                                   std::size_t{static_cast<unsigned char>(stream[3])};
        if (length == 0 || length > smcd::platform::ipc::kMaxFrameSize) {
            framing.invalid = true;
            break;
        }
        if (stream.size() - smcd::platform::ipc::kFrameHeaderSize < length) break;
        framing.payloads.emplace_back(stream.substr(smcd::platform::ipc::kFrameHeaderSize, length));
        stream.remove_prefix(smcd::platform::ipc::kFrameHeaderSize + length);
    }
    return framing;
}

// Feeds the reader in pieces whose sizes follow from `seed`, draining after each.
Framing framesByReader(std::string_view stream, std::size_t seed) {
    Framing framing;
    FrameReader reader;
    std::size_t offset = 0;
    std::size_t piece = seed % 7 + 1;
    bool more = true;
    while (more) {
        const std::size_t n = std::min(piece, stream.size() - offset);
        reader.append(stream.substr(offset, n));
        offset += n;
        piece = piece * 5 % 11 + 1;
        more = offset < stream.size();
        std::string payload;
        for (;;) {
            const FrameReader::Status status = reader.next(payload);
            if (status == FrameReader::Status::needMore) break;
            if (status == FrameReader::Status::invalid) {
                framing.invalid = true;
                return framing;
            }
            framing.payloads.push_back(payload);
        }
    }
    return framing;
}

std::string_view unframed(const std::string& framed) {
    if (framed.size() < smcd::platform::ipc::kFrameHeaderSize) violated("an encoded frame has a header");
    return std::string_view(framed).substr(smcd::platform::ipc::kFrameHeaderSize);
}

bool sameCall(const Call& a, const Call& b) { return a.id == b.id && a.method == b.method && a.arguments == b.arguments; }

void checkCallRoundTrip(std::string_view payload, const Interface& interface) {
    const auto call = smcd::platform::ipc::decodeCall(payload, interface);
    if (!call) return;
    if (call->method >= interface.methods().size()) violated("a decoded call names a method of the interface");
    const std::string encoded =
        smcd::platform::ipc::encodeCall(call->id, interface.methods()[call->method].selector, call->arguments);
    const auto again = smcd::platform::ipc::decodeCall(unframed(encoded), interface);
    if (!again || !sameCall(*call, *again)) violated("a decoded call survives encoding");
}

void checkReplyRoundTrip(std::string_view payload, const Interface& interface) {
    std::set<std::vector<WireType>> shapes;
    for (const auto& method : interface.methods()) shapes.insert(method.reply);
    for (const auto& shape : shapes) {
        const auto reply = smcd::platform::ipc::decodeReply(payload, shape);
        if (!reply) continue;
        if (reply->values.size() != shape.size()) violated("a decoded reply has its expected arity");
        std::string encoded;
        try {
            encoded = smcd::platform::ipc::encodeReply(*reply);
        } catch (...) {
            violated("a decoded reply can be encoded");  // decoded text is valid UTF-8
        }
        const auto again = smcd::platform::ipc::decodeReply(unframed(encoded), shape);
        if (!again || again->id != reply->id || again->values != reply->values) violated("a decoded reply survives encoding");
    }
}

void checkBase64(std::string_view bytes) {
    const std::string text = smcd::platform::ipc::base64Encode(bytes);
    if (text.size() != (bytes.size() + 2) / 3 * 4) violated("base64 text has the standard length");
    const auto decoded = smcd::platform::ipc::base64Decode(text);
    if (!decoded || *decoded != bytes) violated("base64 round-trips any bytes");
    if (const auto lenient = smcd::platform::ipc::base64Decode(bytes)) {
        if (lenient->size() > bytes.size() / 4 * 3) violated("decoded base64 is never longer than its text allows");
    }
}

void checkConnection(std::string_view stream, std::uint64_t script, const Interface& interface) {
    const smcd::fuzz::Expectation expected = smcd::fuzz::expectedFrom(stream, script, interface);
    const smcd::fuzz::Observation observed = smcd::fuzz::serveStream(stream, script, interface);
    if (observed.invalidations != 1) violated("the invalidation handler runs exactly once");
    if (!observed.socketClosed) violated("the served descriptor is closed when serving ends");
    if (observed.invocations != expected.invocations) violated("exactly the well-formed calls before the first fault are delivered");

    const Framing replies = framesByHeaders(observed.output);
    std::size_t framedBytes = 0;
    for (const auto& payload : replies.payloads) framedBytes += smcd::platform::ipc::kFrameHeaderSize + payload.size();
    if (replies.invalid || framedBytes != observed.output.size()) violated("the peer receives whole reply frames only");
    if (replies.payloads.size() != expected.replies.size()) violated("every well-formed call is answered exactly once");
    for (std::size_t i = 0; i < replies.payloads.size(); ++i) {
        const auto& want = expected.replies[i];
        const auto got = smcd::platform::ipc::decodeReply(replies.payloads[i], interface.methods()[want.method].reply);
        if (!got) violated("a reply carries the method's reply types");
        if (got->id != want.id) violated("replies come in call order, with the call's id");
        if (got->values != want.values) violated("a reply carries what the callee replied first");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kScriptBytes = 8;
    if (size < kScriptBytes) return 0;
    std::uint64_t script = 0;
    for (std::size_t i = 0; i < kScriptBytes; ++i) script = script << 8 | data[i];
    const std::string_view stream(reinterpret_cast<const char*>(data) + kScriptBytes, size - kScriptBytes);
    size = stream.size();
    const Interface& interface = smcd::vornikFanControlInterface();

    const Framing byHeaders = framesByHeaders(stream);
    const Framing byReader = framesByReader(stream, size);
    if (byReader.payloads != byHeaders.payloads || byReader.invalid != byHeaders.invalid)
        violated("the frame reader splits as the length headers say, whatever the read boundaries");

    for (const auto& payload : byHeaders.payloads) {
        checkCallRoundTrip(payload, interface);
        checkReplyRoundTrip(payload, interface);
        checkBase64(payload);
    }
    if (byHeaders.payloads.empty()) checkBase64(stream);

    if (size <= kLargestServedStream) checkConnection(stream, script, interface);
    return 0;
}
