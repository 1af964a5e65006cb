#pragma once

// JSON text written straight into its final buffer, byte for byte as
// nlohmann::json's compact dump() writes it (UTF-8 kept as it is, quote,
// backslash and control characters escaped), without a document tree or an
// intermediate copy. A writer without a buffer only counts, so that a message
// can be sized, refused when too large, and then written with one allocation.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace smcd::platform::ipc {

class JsonWriter {
public:
    // Counts only.
    JsonWriter() = default;
    // Appends to `out`.
    explicit JsonWriter(std::string& out) : out_(&out) {}

    // Bytes written (or counted) so far.
    std::size_t size() const { return size_; }

    // Text that is already JSON (punctuation, keys, a dumped document).
    void raw(std::string_view json);
    // A JSON string; false, with part of it written, when `text` is not valid UTF-8.
    [[nodiscard]] bool string(std::string_view text);
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    // `bytes` as padded base64 (RFC 4648), without quotes.
    void base64(std::string_view bytes);

private:
    std::string* out_ = nullptr;
    std::size_t size_ = 0;
};

std::string base64Encode(std::string_view bytes);
// Padded base64 only; anything else (a stray byte, data after padding) is nothing.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace smcd::platform::ipc
