#pragma once

// The wire format of the IPC stand-in (the NSXPC message layer): a frame is a
// 4-byte big-endian length followed by that many bytes of UTF-8 JSON holding
// one call or one reply. docs/PROTOCOL.md is the reference for clients.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/expected.h"
#include "common/limits.h"
#include "platform/ipc/linux/input_buffer.h"
#include "platform/ipc/linux/json_text.h"
#include "protocol/values.h"

namespace smcd::platform::ipc {

inline constexpr std::size_t kFrameHeaderSize = 4;
// The request and reply limits, with their reasons in common/limits.h.
inline constexpr std::size_t kMaxFrameSize = limits::kMaxRequestSize;
inline constexpr std::size_t kMaxReplyFrameSize = limits::kMaxReplySize;

// The wire carries the protocol's values under the names its codec has
// always used.
using WireType = protocol::ValueType;
using WireValue = protocol::Value;
using protocol::Data;
using protocol::Interface;
using protocol::MethodSignature;
using protocol::valueMatches;

struct Call {
    std::uint64_t id = 0;
    std::size_t method = 0;
    std::vector<WireValue> arguments;
};

struct Reply {
    std::uint64_t id = 0;
    std::vector<WireValue> values;
};

// Why a message could not be encoded. Nothing is allocated for a message
// above its limit, or one its sender would not admit: it is sized first,
// then written once into its frame.
enum class EncodeFailure { tooLarge, notUtf8, notAdmitted };
struct EncodeError {
    EncodeFailure kind;
    std::size_t payloadSize = 0;  // the payload's size, known when it is too large
};
// A frame's bytes, header included.
using Encoded = Expected<std::string, EncodeError>;

// Texts are JSON strings, data {"data": "<base64>"}; a text that is not
// valid UTF-8 cannot be sent. A payload above `maxPayload` is refused.
Encoded frame(std::string_view payload, std::size_t maxPayload = kMaxReplyFrameSize);
Encoded encodeCall(std::uint64_t id, std::string_view selector, const nlohmann::json& arguments,
                   std::size_t maxPayload = kMaxFrameSize);
Encoded encodeCall(std::uint64_t id, std::string_view selector, const std::vector<WireValue>& arguments,
                   std::size_t maxPayload = kMaxFrameSize);
// `admit`, given the frame's size before it is built, may refuse it.
Encoded encodeReply(const Reply& reply, std::size_t maxPayload = kMaxReplyFrameSize,
                    const std::function<bool(std::size_t frameBytes)>& admit = nullptr);

// For tools that show and take values as JSON (smcctl's `call`): one value as
// the wire writes it (null for a text that is not UTF-8), and one JSON value
// read as the type its place expects.
nlohmann::json encodeValue(const WireValue& value);
std::optional<WireValue> decodeValue(const nlohmann::json& value, WireType type);

// A call that names no method of the interface, or whose arguments do not
// match that method's types, decodes to nothing.
std::optional<Call> decodeCall(std::string_view payload, const Interface& interface);
// A reply whose values do not match the expected types decodes to nothing.
std::optional<Reply> decodeReply(std::string_view payload, const std::vector<WireType>& expected);

// Splits a byte stream into frame payloads, whatever the write boundaries.
// It holds no more than has arrived and not yet been taken out (see
// InputBuffer), so a peer's announced length costs nothing by itself.
class FrameReader {
public:
    enum class Status { needMore, frame, invalid };
    // A frame longer than `maxPayload` is invalid: requests are read with the
    // request limit, replies with the reply limit.
    explicit FrameReader(std::size_t maxPayload = kMaxFrameSize)
        : maxPayload_(maxPayload), buffer_(kFrameHeaderSize + maxPayload + kReadAhead) {}
    // Throws std::bad_alloc when the system has no memory for the bytes.
    void append(std::string_view bytes);
    // On `frame`, `payload` views the next complete payload until the next
    // call on the reader.
    Status next(std::string_view& payload);
    // On `frame`, `payload` holds a copy of the next complete payload.
    Status next(std::string& payload);
    // Gives back the memory of the payloads taken out so far.
    void release();
    // Bytes held: what has arrived and has not been released.
    std::size_t buffered() const { return buffer_.size(); }
    // Whether part of a frame has arrived and the rest has not.
    bool midFrame() const { return buffer_.size() > consumed_; }

private:
    // What one read may bring beyond the frame in progress.
    static constexpr std::size_t kReadAhead = 64 * 1024;

    std::size_t maxPayload_;
    InputBuffer buffer_;
    std::size_t consumed_ = 0;
};

}  // namespace smcd::platform::ipc
