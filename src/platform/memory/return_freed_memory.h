#pragma once

// The allocator keeps freed blocks for reuse, spread over the arenas of the
// threads that freed them; after a request of hundreds of megabytes the
// daemon would stay that large for good. This hands what is free back to the
// system, at the cost of a walk over the allocator's free lists: for after a
// large request, not for every one.

#include <cstddef>

namespace smcd::platform {

// A request that held this much, in its arguments or its reply, is large
// enough to be worth the walk.
inline constexpr std::size_t kReturnMemoryAfterBytes = std::size_t{1} << 20;

void returnFreedMemory();

}  // namespace smcd::platform
