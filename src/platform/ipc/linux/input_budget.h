#pragma once

// The input all connections together may hold buffered at once
// (limits::kBufferedInputBudget, a quarter of it per user): each connection
// takes its bytes before it buffers them and gives them back as its calls
// are answered or it ends.

#include "common/limits.h"
#include "platform/ipc/memory_budget.h"

namespace smcd::platform::ipc {

inline MemoryBudget& inputBudget() {
    static MemoryBudget budget(limits::kBufferedInputBudget, limits::kBufferedInputPerUser);
    return budget;
}

}  // namespace smcd::platform::ipc
