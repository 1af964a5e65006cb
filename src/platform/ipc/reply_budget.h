#pragma once

// The daemon's budget for replies (limits::kReplyBudget, a quarter of it per
// user): what a request's records hold while it runs, and the reply and its
// frame until the peer has read them. Whoever is refused by it ends the
// connection and says why here.

#include <cstdint>

#include "platform/ipc/memory_budget.h"

namespace smcd::platform::ipc {

MemoryBudget& replyBudget();

// The refusal's log line, through the refusal throttle.
void logReplyRefused(std::uint32_t uid, MemoryBudget::Refusal refusal, const MemoryBudget& budget);

}  // namespace smcd::platform::ipc
