#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "smcd/product_facts.h"

namespace smcd {

namespace detail {

struct RequirementText {
    std::array<char, 256> chars{};
    std::size_t size = 0;
};

// Only the signed companion app may talk to the daemon.
inline constexpr RequirementText kPeerRequirementText = [] {
    RequirementText text;
    for (std::string_view part : {std::string_view("identifier \""), product_facts::kAppIdentifier,
                                  std::string_view("\" and anchor apple generic and certificate leaf[subject.OU] = \""),
                                  product_facts::kAppTeam,
                                  std::string_view("\" and info [CFBundleShortVersionString] >= \""),
                                  product_facts::kAppVersion, std::string_view("\"")})
        for (const char c : part) text.chars[text.size++] = c;
    return text;
}();

}  // namespace detail

inline constexpr std::string_view kPeerRequirement{detail::kPeerRequirementText.chars.data(),
                                                 detail::kPeerRequirementText.size};
static_assert(kPeerRequirement.size() == 147);

}  // namespace smcd
