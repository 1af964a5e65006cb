#pragma once

#include <sys/types.h>

#include <cstddef>

namespace smcd::test {

// Number of open descriptors of a process (this one by default), read from /proc.
std::size_t openDescriptorCount(pid_t pid = 0);

// Number of threads of a process (this one by default), read from /proc.
std::size_t threadCount(pid_t pid = 0);

}  // namespace smcd::test
