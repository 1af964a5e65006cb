#pragma once

// System calls counted by strace(1) -c -f: of a command in a process of its
// own, or of a running process (every thread) while a command runs against
// it. Nothing where strace is missing or fails.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace smcd::bench {

std::optional<long> tracedCalls(std::vector<std::string> command);
std::optional<long> callsDuring(pid_t process, const std::vector<std::string>& command);

}  // namespace smcd::bench
