#include "launchd/launchd_outcome.h"

#include <array>
#include <utility>

namespace smcd::launchd {
namespace {

constexpr std::array<std::pair<Refusal, std::string_view>, 6> kRawValues{{
    {Refusal::shape, "shape"},
    {Refusal::appleNamespace, "appleNamespace"},
    {Refusal::ownService, "ownService"},
    {Refusal::unreadable, "unreadable"},
    {Refusal::labelMismatch, "labelMismatch"},
    {Refusal::unsafeOwnership, "unsafeOwnership"},
}};

}  // namespace

std::string_view rawValue(Refusal refusal) {
    for (const auto& [value, raw] : kRawValues) {
        if (value == refusal) return raw;
    }
    return {};
}

std::optional<Refusal> refusalFromRawValue(std::string_view raw) {
    for (const auto& [value, text] : kRawValues) {
        if (text == raw) return value;
    }
    return std::nullopt;
}

}  // namespace smcd::launchd
