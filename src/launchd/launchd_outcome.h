#pragma once

#include <optional>
#include <string_view>
#include <variant>

#include "launchd/launchd_domain.h"

namespace smcd::launchd {

// Why screening turned a toggle request down. Only the log sees the reason;
// the client gets one message for all of them.
enum class Refusal { shape, appleNamespace, ownService, unreadable, labelMismatch, unsafeOwnership };

// Raw values equal the case names; any other text yields nothing.
std::string_view rawValue(Refusal refusal);
std::optional<Refusal> refusalFromRawValue(std::string_view raw);

class Outcome {
public:
    static Outcome allowed(Domain domain) { return Outcome(domain); }
    static Outcome refused(Refusal refusal) { return Outcome(refusal); }

    bool isAllowed() const { return std::holds_alternative<Domain>(value_); }
    std::optional<Domain> domain() const;
    std::optional<Refusal> refusal() const;

    bool operator==(const Outcome&) const = default;

private:
    explicit Outcome(Domain domain) : value_(domain) {}
    explicit Outcome(Refusal refusal) : value_(refusal) {}
    std::variant<Domain, Refusal> value_;
};

}  // namespace smcd::launchd
