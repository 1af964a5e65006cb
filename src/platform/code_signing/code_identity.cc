#include "platform/code_signing/code_identity.h"

#include <algorithm>

namespace smcd::platform {

bool isPlainIdentityText(std::string_view text) {
    if (text.empty() || text.size() > kMaxIdentityTextLength) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte <= 0x7e && c != '"' && c != '\\';
    });
}

}  // namespace smcd::platform
