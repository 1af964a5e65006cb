#include "platform/ipc/linux/wire.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

namespace smcd::platform::ipc {
namespace {

using nlohmann::json;

// Where the texts of a list (and a data object's member) sit: in the call or
// reply object, in its list of values, in a value. No message of the protocol
// nests deeper, and the parser below stops at the first bracket that would.
constexpr int kElementDepth = limits::kMaxRequestNesting;

// How many strings open at the depth of a list's elements: an upper bound of
// a call's path count, so that its list is allocated once at its final size
// rather than grown through copies.
std::size_t elementStrings(std::string_view text) {
    int depth = 0;
    std::size_t strings = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
            strings += depth == kElementDepth;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return strings;
}

// A value as the message's JSON has it, before it is held against the type
// its place expects.
struct LargeUnsigned {
    std::uint64_t value;
};
struct DataText {
    std::string base64;
};
using Loose = std::variant<std::nullptr_t, bool, std::int64_t, LargeUnsigned, std::string, std::vector<std::string>, DataText>;

// Parses a call or a reply envelope straight into its values, with no
// document tree: a list of millions of short texts costs each text once.
// Anything the protocol has no use for (a fraction, a duplicate or unknown
// member, a list inside a list, a data object with other members) stops the
// parse at once.
class EnvelopeParser {
public:
    EnvelopeParser(std::string_view valuesKey, bool withSelector, std::size_t elementHint)
        : valuesKey_(valuesKey), withSelector_(withSelector), elementHint_(elementHint) {}

    bool null() { return scalar(nullptr); }
    bool boolean(bool value) { return scalar(value); }
    bool number_integer(json::number_integer_t value) { return scalar(std::int64_t{value}); }
    bool number_unsigned(json::number_unsigned_t value) {
        if (depth_ == 1 && key_ == "id") {
            id = value;
            return true;
        }
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return scalar(LargeUnsigned{value});
        return scalar(static_cast<std::int64_t>(value));
    }
    bool number_float(json::number_float_t, const json::string_t&) { return false; }
    bool binary(json::binary_t&) { return false; }
    bool string(json::string_t& value) {
        if (depth_ == 1 && key_ == "selector") {
            selector = std::move(value);
            return true;
        }
        if (depth_ == kElementDepth) {
            if (auto* texts = std::get_if<std::vector<std::string>>(&values->back())) {
                texts->push_back(std::move(value));
                return true;
            }
            auto* data = std::get_if<DataText>(&values->back());
            if (!data || !inDataMember_) return false;
            data->base64 = std::move(value);
            inDataMember_ = false;
            return true;
        }
        return scalar(std::move(value));
    }
    bool start_object(std::size_t) {
        if (depth_ == 0) return ++depth_, true;
        if (depth_ != 2) return false;  // only a value of the list may be a data object
        values->emplace_back(DataText{});
        dataMemberSeen_ = false;
        return ++depth_, true;
    }
    bool key(json::string_t& name) {
        if (depth_ == kElementDepth) {
            if (name != "data" || dataMemberSeen_) return false;
            dataMemberSeen_ = inDataMember_ = true;
            return true;
        }
        const bool known = name == "id" || name == valuesKey_ || (withSelector_ && name == "selector");
        if (!known || (name == "id" && id) || (name == "selector" && selector) || (name == valuesKey_ && values))
            return false;
        key_ = std::move(name);
        return true;
    }
    bool end_object() {
        if (depth_ == kElementDepth && (!dataMemberSeen_ || inDataMember_)) return false;
        return --depth_, true;
    }
    bool start_array(std::size_t) {
        if (depth_ == 1 && key_ == valuesKey_) {
            values.emplace();
            return ++depth_, true;
        }
        if (depth_ != 2) return false;  // only a value of the list may be a list
        auto& texts = std::get<std::vector<std::string>>(values->emplace_back(std::vector<std::string>{}));
        texts.reserve(std::exchange(elementHint_, 0));
        return ++depth_, true;
    }
    bool end_array() { return --depth_, true; }
    bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }

    // Whether every member arrived: with unknown and repeated ones refused,
    // that is exactly the envelope's members.
    bool complete() const { return id && values && (selector || !withSelector_); }

    std::optional<std::uint64_t> id;
    std::optional<std::string> selector;
    std::optional<std::vector<Loose>> values;

private:
    // A plain value is one of the list's values; nowhere else may one stand.
    // Built in place: moving a whole Loose is what g++ 12 at -O1 wrongly
    // takes for a read of an uninitialized list.
    template <class Value>
    bool scalar(Value&& value) {
        if (depth_ != 2) return false;
        values->emplace_back(std::forward<Value>(value));
        return true;
    }

    std::string_view valuesKey_;
    bool withSelector_;
    std::size_t elementHint_;
    int depth_ = 0;
    std::string key_;
    bool dataMemberSeen_ = false;
    bool inDataMember_ = false;
};

// Parsing must never throw out of this file: any malformed input is simply
// "not a message".
std::optional<EnvelopeParser> parseEnvelope(std::string_view payload, std::string_view valuesKey, bool withSelector) {
    EnvelopeParser parser(valuesKey, withSelector, elementStrings(payload));
    if (!json::sax_parse(payload.begin(), payload.end(), &parser) || !parser.complete()) return std::nullopt;
    return parser;
}

std::optional<WireValue> decodeValue(Loose& value, WireType type) {
    switch (type) {
        case WireType::int64:
            if (const auto* number = std::get_if<std::int64_t>(&value)) return WireValue(*number);
            return std::nullopt;
        case WireType::boolean:
            if (const auto* flag = std::get_if<bool>(&value)) return WireValue(*flag);
            return std::nullopt;
        case WireType::optionalText:
            if (std::holds_alternative<std::nullptr_t>(value)) return WireValue(nullptr);
            [[fallthrough]];
        case WireType::text:
            if (auto* text = std::get_if<std::string>(&value)) return WireValue(std::move(*text));
            return std::nullopt;
        case WireType::data: {
            const auto* data = std::get_if<DataText>(&value);
            if (!data) return std::nullopt;
            auto bytes = base64Decode(data->base64);
            if (!bytes) return std::nullopt;
            return WireValue(Data{std::move(*bytes)});
        }
        case WireType::textArray:
            if (auto* texts = std::get_if<std::vector<std::string>>(&value)) return WireValue(std::move(*texts));
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::vector<WireValue>> decodeValues(std::vector<Loose>& loose, const std::vector<WireType>& types) {
    if (loose.size() != types.size()) return std::nullopt;
    std::vector<WireValue> values;
    values.reserve(types.size());
    for (std::size_t i = 0; i < types.size(); ++i) {
        auto value = decodeValue(loose[i], types[i]);
        if (!value) return std::nullopt;
        values.push_back(std::move(*value));
    }
    return values;
}

[[nodiscard]] bool writeValue(JsonWriter& out, const WireValue& value) {
    return std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                out.raw("null");
            } else if constexpr (std::is_same_v<T, bool>) {
                out.raw(v ? "true" : "false");
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                out.integer(v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return out.string(v);
            } else if constexpr (std::is_same_v<T, Data>) {
                out.raw(R"({"data":")");
                out.base64(v.bytes);
                out.raw(R"("})");
            } else {
                out.raw("[");
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i > 0) out.raw(",");
                    if (!out.string(v[i])) return false;
                }
                out.raw("]");
            }
            return true;
        },
        value);
}

[[nodiscard]] bool writeValues(JsonWriter& out, const std::vector<WireValue>& values) {
    out.raw("[");
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out.raw(",");
        if (!writeValue(out, values[i])) return false;
    }
    out.raw("]");
    return true;
}

// Sizes the payload `write` produces, refuses it above the limit (which the
// 4-byte length field caps in any case) before anything is allocated, then
// writes header and payload into one buffer of exactly their size.
template <class Write>
Encoded encodeFrame(std::size_t maxPayload, const Write& write,
                    const std::function<bool(std::size_t)>& admit = nullptr) {
    JsonWriter counter;
    if (!write(counter)) return unexpected(EncodeError{EncodeFailure::notUtf8});
    const std::size_t size = counter.size();
    if (size > std::min<std::size_t>(maxPayload, std::numeric_limits<std::uint32_t>::max()))
        return unexpected(EncodeError{EncodeFailure::tooLarge, size});
    if (admit && !admit(kFrameHeaderSize + size)) return unexpected(EncodeError{EncodeFailure::notAdmitted, size});
    std::string out;
    out.reserve(kFrameHeaderSize + size);
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((size >> shift) & 0xFF);
    JsonWriter writer(out);
    static_cast<void>(write(writer));
    return out;
}

// Calls keep the member order the protocol has always sent (nlohmann's
// sorted keys): arguments, id, selector.
Encoded encodeCallWith(std::uint64_t id, std::string_view selector, std::size_t maxPayload,
                       const std::function<bool(JsonWriter&)>& arguments) {
    return encodeFrame(maxPayload, [&](JsonWriter& out) {
        out.raw(R"({"arguments":)");
        if (!arguments(out)) return false;
        out.raw(R"(,"id":)");
        out.unsignedInteger(id);
        out.raw(R"(,"selector":)");
        if (!out.string(selector)) return false;
        out.raw("}");
        return true;
    });
}

}  // namespace

Encoded frame(std::string_view payload, std::size_t maxPayload) {
    return encodeFrame(maxPayload, [payload](JsonWriter& out) {
        out.raw(payload);
        return true;
    });
}

Encoded encodeCall(std::uint64_t id, std::string_view selector, const json& arguments, std::size_t maxPayload) {
    std::string list;
    try {
        list = arguments.dump();
    } catch (const json::exception&) {
        return unexpected(EncodeError{EncodeFailure::notUtf8});  // strict UTF-8, as for every text sent
    }
    return encodeCallWith(id, selector, maxPayload, [&list](JsonWriter& out) {
        out.raw(list);
        return true;
    });
}

Encoded encodeCall(std::uint64_t id, std::string_view selector, const std::vector<WireValue>& arguments,
                   std::size_t maxPayload) {
    return encodeCallWith(id, selector, maxPayload, [&arguments](JsonWriter& out) { return writeValues(out, arguments); });
}

Encoded encodeReply(const Reply& reply, std::size_t maxPayload, const std::function<bool(std::size_t)>& admit) {
    return encodeFrame(
        maxPayload,
        [&reply](JsonWriter& out) {
            out.raw(R"({"id":)");
            out.unsignedInteger(reply.id);
            out.raw(R"(,"reply":)");
            if (!writeValues(out, reply.values)) return false;
            out.raw("}");
            return true;
        },
        admit);
}

nlohmann::json encodeValue(const WireValue& value) {
    std::string text;
    JsonWriter out(text);
    if (!writeValue(out, value)) return nullptr;
    return json::parse(text, nullptr, /*allow_exceptions=*/false);
}

std::optional<WireValue> decodeValue(const nlohmann::json& value, WireType type) {
    switch (type) {
        case WireType::int64:
            if (value.is_number_unsigned() &&
                value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return std::nullopt;
            if (value.is_number_integer()) return WireValue(value.get<std::int64_t>());
            return std::nullopt;
        case WireType::boolean:
            if (value.is_boolean()) return WireValue(value.get<bool>());
            return std::nullopt;
        case WireType::optionalText:
            if (value.is_null()) return WireValue(nullptr);
            [[fallthrough]];
        case WireType::text:
            if (value.is_string()) return WireValue(value.get<std::string>());
            return std::nullopt;
        case WireType::data: {
            if (!value.is_object() || value.size() != 1 || !value.contains("data") || !value["data"].is_string())
                return std::nullopt;
            auto bytes = base64Decode(value["data"].get<std::string>());
            if (!bytes) return std::nullopt;
            return WireValue(Data{std::move(*bytes)});
        }
        case WireType::textArray: {
            if (!value.is_array()) return std::nullopt;
            std::vector<std::string> texts;
            for (const auto& element : value) {
                if (!element.is_string()) return std::nullopt;
                texts.push_back(element.get<std::string>());
            }
            return WireValue(std::move(texts));
        }
    }
    return std::nullopt;
}

std::optional<Call> decodeCall(std::string_view payload, const Interface& interface) {
    auto envelope = parseEnvelope(payload, "arguments", /*withSelector=*/true);
    if (!envelope) return std::nullopt;
    const auto method = interface.find(*envelope->selector);
    if (!method) return std::nullopt;
    auto values = decodeValues(*envelope->values, interface.methods()[*method].arguments);
    if (!values) return std::nullopt;
    return Call{*envelope->id, *method, std::move(*values)};
}

std::optional<Reply> decodeReply(std::string_view payload, const std::vector<WireType>& expected) {
    auto envelope = parseEnvelope(payload, "reply", /*withSelector=*/false);
    if (!envelope) return std::nullopt;
    auto values = decodeValues(*envelope->values, expected);
    if (!values) return std::nullopt;
    return Reply{*envelope->id, std::move(*values)};
}

void FrameReader::append(std::string_view bytes) {
    release();
    buffer_.append(bytes);
}

FrameReader::Status FrameReader::next(std::string_view& payload) {
    const std::size_t available = buffer_.size() - consumed_;
    if (available < kFrameHeaderSize) return Status::needMore;
    const auto* header = reinterpret_cast<const unsigned char*>(buffer_.data() + consumed_);
    const std::size_t length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) |
                               (std::size_t{header[2]} << 8) | std::size_t{header[3]};
    if (length == 0 || length > maxPayload_) return Status::invalid;
    if (available - kFrameHeaderSize < length) return Status::needMore;
    payload = std::string_view(buffer_.data() + consumed_ + kFrameHeaderSize, length);
    consumed_ += kFrameHeaderSize + length;
    return Status::frame;
}

FrameReader::Status FrameReader::next(std::string& payload) {
    std::string_view view;
    const Status status = next(view);
    if (status == Status::frame) payload.assign(view);
    return status;
}

// Dropping the taken bytes moves the rest to the front: done once they are
// all taken or dominate the buffer, so a stream of small frames costs no
// more than linear copying, and a connection between requests holds a page at most.
void FrameReader::release() {
    if (consumed_ == 0) return;
    if (consumed_ != buffer_.size() && consumed_ <= buffer_.size() / 2) return;
    buffer_.dropFront(consumed_);
    consumed_ = 0;
}

}  // namespace smcd::platform::ipc
