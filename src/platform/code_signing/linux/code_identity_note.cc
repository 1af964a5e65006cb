#include "platform/code_signing/linux/code_identity_note.h"

#include <array>
#include <string>

namespace smcd::platform {

std::optional<CodeIdentity> decodeCodeIdentityNote(std::span<const std::byte> descriptor) {
    const std::string_view text(reinterpret_cast<const char*>(descriptor.data()), descriptor.size());
    std::array<std::string_view, 3> fields;
    std::size_t start = 0;
    for (auto& field : fields) {
        const std::size_t end = text.find('\0', start);
        if (end == std::string_view::npos) return std::nullopt;
        field = text.substr(start, end - start);
        if (!isPlainIdentityText(field)) return std::nullopt;
        start = end + 1;
    }
    // Trailing bytes would be a fourth field this reader does not understand.
    if (start != text.size()) return std::nullopt;
    return CodeIdentity{std::string(fields[0]), std::string(fields[1]), std::string(fields[2])};
}

}  // namespace smcd::platform
