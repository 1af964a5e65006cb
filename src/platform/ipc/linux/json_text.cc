#include "platform/ipc/linux/json_text.h"

#include <array>
#include <charconv>

#include "common/unicode.h"

namespace smcd::platform::ipc {
namespace {

constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The escape nlohmann writes for an ASCII byte, or an empty view when the
// byte stands for itself.
std::string_view escapeOf(unsigned char c, std::array<char, 6>& scratch) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case '\b': return "\\b";
        case '\f': return "\\f";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: break;
    }
    if (c > 0x1F) return {};
    constexpr std::string_view kHexDigits = "0123456789abcdef";
    scratch = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
    return {scratch.data(), scratch.size()};
}

}  // namespace

void JsonWriter::raw(std::string_view json) {
    size_ += json.size();
    if (out_) out_->append(json);
}

bool JsonWriter::string(std::string_view text) {
    raw("\"");
    std::array<char, 6> scratch;
    std::size_t run = 0;  // start of the bytes not yet written that stand for themselves
    bool validated = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // Well-formed UTF-8 only (no overlong form, no surrogate, nothing
            // above U+10FFFF), as the library refuses anything else; checked
            // once, from the first byte that is not ASCII.
            if (!validated && !unicode::isValidUtf8(text.substr(i))) return false;
            validated = true;
            continue;
        }
        const std::string_view escape = escapeOf(c, scratch);
        if (escape.empty()) continue;
        raw(text.substr(run, i - run));
        raw(escape);
        run = i + 1;
    }
    raw(text.substr(run));
    raw("\"");
    return true;
}

void JsonWriter::integer(std::int64_t value) {
    std::array<char, 24> digits;
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    raw(std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
}

void JsonWriter::unsignedInteger(std::uint64_t value) {
    std::array<char, 24> digits;
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    raw(std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
}

void JsonWriter::base64(std::string_view bytes) {
    const std::size_t encoded = (bytes.size() + 2) / 3 * 4;
    size_ += encoded;
    if (!out_) return;
    std::string& out = *out_;
    std::size_t at = out.size();
    out.resize(at + encoded);
    const auto byte = [&](std::size_t k) { return std::uint32_t{static_cast<unsigned char>(bytes[k])}; };
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out[at++] = kBase64Alphabet[(n >> 18) & 63];
        out[at++] = kBase64Alphabet[(n >> 12) & 63];
        out[at++] = kBase64Alphabet[(n >> 6) & 63];
        out[at++] = kBase64Alphabet[n & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const std::uint32_t n = byte(i) << 16 | (two ? byte(i + 1) << 8 : 0);
        out[at++] = kBase64Alphabet[(n >> 18) & 63];
        out[at++] = kBase64Alphabet[(n >> 12) & 63];
        out[at++] = two ? kBase64Alphabet[(n >> 6) & 63] : '=';
        out[at++] = '=';
    }
}

std::string base64Encode(std::string_view bytes) {
    std::string out;
    JsonWriter(out).base64(bytes);
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

}  // namespace smcd::platform::ipc
