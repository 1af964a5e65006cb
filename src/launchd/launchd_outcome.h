#pragma once

#include <optional>
#include <string_view>

#include "common/expected.h"
#include "launchd/launchd_domain.h"

namespace smcd::launchd {

// Why screening turned a toggle request down. Only the log sees the reason;
// the client gets one message for all of them.
enum class Refusal { shape, appleNamespace, ownService, unreadable, labelMismatch, unsafeOwnership };

// Raw values equal the case names; any other text yields nothing.
std::string_view rawValue(Refusal refusal);
std::optional<Refusal> refusalFromRawValue(std::string_view raw);

// Where an allowed toggle runs, or why it was refused.
using Outcome = Expected<Domain, Refusal>;

}  // namespace smcd::launchd
