#pragma once

// What a process holds, read from /proc, and a way to wait until it stops
// moving: connection threads end a moment after their peers leave.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>

namespace smcd::soak {

struct Usage {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    std::size_t residentBytes = 0;
};

std::size_t residentBytes(pid_t pid);
Usage usageOf(pid_t pid);

// Reads `sample` until two readings `interval` apart agree, or `limit`
// passes; the last reading either way.
std::size_t steadyValue(const std::function<std::size_t()>& sample,
                        std::chrono::milliseconds interval = std::chrono::milliseconds(250),
                        std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace smcd::soak
