#pragma once

// The descriptor limit the daemon runs with: what every cap and share that
// is sized from descriptors (connections, walks) reads, and the one place
// that raises it.

#include <cstddef>

namespace smcd {

// The soft RLIMIT_NOFILE now; the largest size for no limit, 0 when it
// cannot be read (the smallest caps).
std::size_t descriptorLimit();

// Raises the soft limit toward limits::kDescriptorLimitGoal as far as the
// hard limit allows, before anything is sized from it; returns the limit the
// daemon then runs with.
std::size_t raiseDescriptorLimit();

}  // namespace smcd
