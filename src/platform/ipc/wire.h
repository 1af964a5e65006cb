#pragma once

// The wire format of the IPC stand-in (the NSXPC message layer): a frame is a
// 4-byte big-endian length followed by that many bytes of UTF-8 JSON holding
// one call or one reply. docs/PROTOCOL.md is the reference for clients.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/expected.h"
#include "platform/ipc/json_text.h"

namespace smcd::platform::ipc {

inline constexpr std::size_t kFrameHeaderSize = 4;
// Larger than any legitimate request (thousands of paths) by far; a length
// above it is treated as garbage rather than a reason to allocate.
inline constexpr std::size_t kMaxFrameSize = 16 * 1024 * 1024;
// Replies grow beyond their request: a record per path, data in base64, tool
// output of any length. Clients take replies up to this size; the daemon
// never sends a larger one (the connection is invalidated instead), and the
// 4-byte length can never wrap.
inline constexpr std::size_t kMaxReplyFrameSize = std::size_t{1} << 30;

enum class WireType { int64, boolean, text, optionalText, data, textArray };

struct Data {
    std::string bytes;
    bool operator==(const Data&) const = default;
};

// nil (an absent text), boolean, signed 64-bit integer, text, data, array of text.
using WireValue = std::variant<std::nullptr_t, bool, std::int64_t, std::string, Data, std::vector<std::string>>;

bool valueMatches(const WireValue& value, WireType type);

struct MethodSignature {
    std::string_view selector;
    std::vector<WireType> arguments;
    std::vector<WireType> reply;
};

// The list of methods one side exports, in declaration order.
class Interface {
public:
    explicit Interface(std::vector<MethodSignature> methods) : methods_(std::move(methods)) {}
    const std::vector<MethodSignature>& methods() const { return methods_; }
    std::optional<std::size_t> find(std::string_view selector) const;

private:
    std::vector<MethodSignature> methods_;
};

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
// above its limit: it is sized first, then written once into its frame.
enum class EncodeFailure { tooLarge, notUtf8 };
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
Encoded encodeReply(const Reply& reply, std::size_t maxPayload = kMaxReplyFrameSize);

// A call that names no method of the interface, or whose arguments do not
// match that method's types, decodes to nothing.
std::optional<Call> decodeCall(std::string_view payload, const Interface& interface);
// A reply whose values do not match the expected types decodes to nothing.
std::optional<Reply> decodeReply(std::string_view payload, const std::vector<WireType>& expected);

// Splits a byte stream into frame payloads, whatever the write boundaries.
class FrameReader {
public:
    enum class Status { needMore, frame, invalid };
    // A frame longer than `maxPayload` is invalid: requests are read with the
    // request limit, replies with the reply limit.
    explicit FrameReader(std::size_t maxPayload = kMaxFrameSize) : maxPayload_(maxPayload) {}
    void append(std::string_view bytes) { buffer_.append(bytes); }
    // On `frame`, `payload` holds the next complete payload.
    Status next(std::string& payload);

private:
    std::size_t maxPayload_;
    std::string buffer_;
    std::size_t consumed_ = 0;
};

}  // namespace smcd::platform::ipc
