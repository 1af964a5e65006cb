#include "platform/code_signing/version_order.h"

#include <algorithm>
#include <vector>

namespace smcd::platform {
namespace {

// Components are kept as digit strings without leading zeros, so a component
// of any length compares correctly without overflowing an integer.
std::optional<std::vector<std::string_view>> splitComponents(std::string_view version) {
    if (version.empty()) return std::nullopt;
    std::vector<std::string_view> components;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = version.find('.', start);
        std::string_view component = version.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (component.empty()) return std::nullopt;
        for (char c : component) {
            if (c < '0' || c > '9') return std::nullopt;
        }
        const std::size_t firstSignificant = component.find_first_not_of('0');
        components.push_back(firstSignificant == std::string_view::npos ? std::string_view{}
                                                                         : component.substr(firstSignificant));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return components;
}

std::strong_ordering compareComponent(std::string_view lhs, std::string_view rhs) {
    if (lhs.size() != rhs.size()) return lhs.size() <=> rhs.size();
    const int order = lhs.compare(rhs);
    return order <=> 0;
}

}  // namespace

std::optional<std::strong_ordering> compareVersions(std::string_view lhs, std::string_view rhs) {
    const auto left = splitComponents(lhs);
    const auto right = splitComponents(rhs);
    if (!left || !right) return std::nullopt;
    const std::size_t count = std::max(left->size(), right->size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view a = i < left->size() ? (*left)[i] : std::string_view{};
        const std::string_view b = i < right->size() ? (*right)[i] : std::string_view{};
        if (const auto order = compareComponent(a, b); order != 0) return order;
    }
    return std::strong_ordering::equal;
}

bool isComparableVersion(std::string_view version) {
    return splitComponents(version).has_value();
}

}  // namespace smcd::platform
