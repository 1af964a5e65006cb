#pragma once

#include <compare>
#include <optional>
#include <string_view>

namespace smcd::platform {

// Orders two bundle versions made of dot-separated decimal components:
// "1.10" > "1.9", "1.0" == "1", "0.9" < "1.0". Missing trailing components
// count as zero; leading zeros are ignored. Anything else (empty text, an
// empty component, a sign, a letter) has no order and yields nothing, so a
// comparison that cannot be made never passes.
std::optional<std::strong_ordering> compareVersions(std::string_view lhs, std::string_view rhs);

bool isComparableVersion(std::string_view version);

}  // namespace smcd::platform
