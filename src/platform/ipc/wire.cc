#include "platform/ipc/wire.h"

#include <array>
#include <limits>

namespace smcd::platform::ipc {
namespace {

using nlohmann::json;

constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool nestsWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// Parsing must never throw out of this file: any malformed input is simply
// "not a message".
std::optional<json> parseObject(std::string_view payload) {
    if (!nestsWithin(payload, limits::kMaxRequestNesting)) return std::nullopt;
    json parsed = json::parse(payload.begin(), payload.end(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

std::optional<std::uint64_t> decodeId(const json& object) {
    const auto it = object.find("id");
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned()) return it->get<std::uint64_t>();
    const auto signedId = it->get<std::int64_t>();
    if (signedId < 0) return std::nullopt;
    return static_cast<std::uint64_t>(signedId);
}

std::optional<std::vector<WireValue>> decodeValues(const json& array, const std::vector<WireType>& types) {
    if (!array.is_array() || array.size() != types.size()) return std::nullopt;
    std::vector<WireValue> values;
    values.reserve(types.size());
    for (std::size_t i = 0; i < types.size(); ++i) {
        auto value = decodeValue(array[i], types[i]);
        if (!value) return std::nullopt;
        values.push_back(std::move(*value));
    }
    return values;
}

std::string dumpCompact(const json& value) {
    // Strict UTF-8: a text that is not valid UTF-8 is a caller's error and
    // throws here, before anything reaches the socket.
    return value.dump();
}

}  // namespace

bool valueMatches(const WireValue& value, WireType type) {
    switch (type) {
        case WireType::int64: return std::holds_alternative<std::int64_t>(value);
        case WireType::boolean: return std::holds_alternative<bool>(value);
        case WireType::text: return std::holds_alternative<std::string>(value);
        case WireType::optionalText:
            return std::holds_alternative<std::string>(value) || std::holds_alternative<std::nullptr_t>(value);
        case WireType::data: return std::holds_alternative<Data>(value);
        case WireType::textArray: return std::holds_alternative<std::vector<std::string>>(value);
    }
    return false;
}

std::optional<std::size_t> Interface::find(std::string_view selector) const {
    for (std::size_t i = 0; i < methods_.size(); ++i)
        if (methods_[i].selector == selector) return i;
    return std::nullopt;
}

json encodeValue(const WireValue& value) {
    return std::visit(
        [](const auto& v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                return nullptr;
            } else if constexpr (std::is_same_v<T, Data>) {
                return json{{"data", base64Encode(v.bytes)}};
            } else {
                return json(v);
            }
        },
        value);
}

std::optional<WireValue> decodeValue(const json& value, WireType type) {
    switch (type) {
        case WireType::int64:
            if (value.is_number_unsigned()) {
                const auto u = value.get<std::uint64_t>();
                if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
                return WireValue(static_cast<std::int64_t>(u));
            }
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
            if (!value.is_object() || value.size() != 1) return std::nullopt;
            const auto it = value.find("data");
            if (it == value.end() || !it->is_string()) return std::nullopt;
            auto bytes = base64Decode(it->get_ref<const std::string&>());
            if (!bytes) return std::nullopt;
            return WireValue(Data{std::move(*bytes)});
        }
        case WireType::textArray: {
            if (!value.is_array()) return std::nullopt;
            std::vector<std::string> texts;
            texts.reserve(value.size());
            for (const auto& element : value) {
                if (!element.is_string()) return std::nullopt;
                texts.push_back(element.get<std::string>());
            }
            return WireValue(std::move(texts));
        }
    }
    return std::nullopt;
}

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) |
                                (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    if (i < bytes.size()) {
        std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::array<int, 256> table{};
    table.fill(-1);
    for (std::size_t i = 0; i < kBase64Alphabet.size(); ++i) table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int>(i);
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return std::nullopt;  // data after padding
            v[k] = table[static_cast<unsigned char>(c)];
            if (v[k] < 0) return std::nullopt;
        }
        const std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out += static_cast<char>((n >> 16) & 0xFF);
        if (padding < 2) out += static_cast<char>((n >> 8) & 0xFF);
        if (padding < 1) out += static_cast<char>(n & 0xFF);
    }
    return out;
}

std::string frame(std::string_view payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::string out;
    out.reserve(kFrameHeaderSize + payload.size());
    out += static_cast<char>((n >> 24) & 0xFF);
    out += static_cast<char>((n >> 16) & 0xFF);
    out += static_cast<char>((n >> 8) & 0xFF);
    out += static_cast<char>(n & 0xFF);
    out.append(payload);
    return out;
}

std::string encodeCall(std::uint64_t id, std::string_view selector, const json& arguments) {
    json call = json::object();
    call["id"] = id;
    call["selector"] = std::string(selector);
    call["arguments"] = arguments;
    return frame(dumpCompact(call));
}

std::string encodeCall(std::uint64_t id, std::string_view selector, const std::vector<WireValue>& arguments) {
    json list = json::array();
    for (const auto& value : arguments) list.push_back(encodeValue(value));
    return encodeCall(id, selector, list);
}

std::string encodeReply(const Reply& reply) {
    json values = json::array();
    for (const auto& value : reply.values) values.push_back(encodeValue(value));
    json object = json::object();
    object["id"] = reply.id;
    object["reply"] = std::move(values);
    return frame(dumpCompact(object));
}

std::optional<Call> decodeCall(std::string_view payload, const Interface& interface) {
    const auto object = parseObject(payload);
    if (!object || object->size() != 3) return std::nullopt;
    const auto id = decodeId(*object);
    const auto selector = object->find("selector");
    const auto arguments = object->find("arguments");
    if (!id || selector == object->end() || !selector->is_string() || arguments == object->end()) return std::nullopt;
    const auto method = interface.find(selector->get_ref<const std::string&>());
    if (!method) return std::nullopt;
    auto values = decodeValues(*arguments, interface.methods()[*method].arguments);
    if (!values) return std::nullopt;
    return Call{*id, *method, std::move(*values)};
}

std::optional<Reply> decodeReply(std::string_view payload, const std::vector<WireType>& expected) {
    const auto object = parseObject(payload);
    if (!object || object->size() != 2) return std::nullopt;
    const auto id = decodeId(*object);
    const auto values = object->find("reply");
    if (!id || values == object->end()) return std::nullopt;
    auto decoded = decodeValues(*values, expected);
    if (!decoded) return std::nullopt;
    return Reply{*id, std::move(*decoded)};
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
// more than linear copying, and a connection between requests holds nothing.
void FrameReader::release() {
    if (consumed_ == 0) return;
    if (consumed_ != buffer_.size() && consumed_ <= buffer_.size() / 2) return;
    buffer_.dropFront(consumed_);
    consumed_ = 0;
}

}  // namespace smcd::platform::ipc
