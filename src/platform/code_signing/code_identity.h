#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace smcd::platform {

// What a client executable declares about itself: the Linux stand-in for the
// signing identifier, the developer team of the leaf certificate and the
// bundle's CFBundleShortVersionString of a signed macOS application.
struct CodeIdentity {
    std::string identifier;
    std::string teamIdentifier;
    std::string shortVersion;

    friend bool operator==(const CodeIdentity&, const CodeIdentity&) = default;
};

inline constexpr std::size_t kMaxIdentityTextLength = 255;

// The only text an identity field or a quoted requirement value may hold:
// 1 to 255 bytes of printable ASCII other than '"' and '\'. Keeping both sides
// to one narrow alphabet means there is no escaping to get wrong and no
// Unicode lookalike that compares equal on one side only.
bool isPlainIdentityText(std::string_view text);

}  // namespace smcd::platform
