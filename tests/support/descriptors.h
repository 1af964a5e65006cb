#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>

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

// Resident memory of a process now, and at its peak so far, in bytes.
std::size_t residentBytes(pid_t pid);
std::size_t peakResidentBytes(pid_t pid);
// Whether those mean anything: not under a sanitizer's shadow memory and quarantine.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kMeasuresMemory = false;
#elif defined(__has_feature)
inline constexpr bool kMeasuresMemory = !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer);
#else
inline constexpr bool kMeasuresMemory = true;
#endif

// Reads `sample` until three readings a quarter second apart agree: a
// thread or descriptor that lingers a moment on a loaded machine is not
// taken for the settled count.
std::size_t settledCount(const std::function<std::size_t()>& sample);

}  // namespace smcd::test
