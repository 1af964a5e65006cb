#pragma once

#include <sys/types.h>

#include <cstddef>

namespace smcd::test {

// Number of open descriptors of a process (this one by default), read from /proc.
std::size_t openDescriptorCount(pid_t pid = 0);

// A fixture member that fails the test when the process holds more or fewer
// descriptors at the end than when the fixture was made. Declare it first,
// so that it is destroyed after every other member.
class NoDescriptorLeak {
public:
    NoDescriptorLeak() : before_(openDescriptorCount()) {}
    ~NoDescriptorLeak();
    NoDescriptorLeak(const NoDescriptorLeak&) = delete;
    NoDescriptorLeak& operator=(const NoDescriptorLeak&) = delete;

private:
    std::size_t before_;
};

// Number of threads of a process (this one by default), read from /proc.
std::size_t threadCount(pid_t pid = 0);

}  // namespace smcd::test
