#include "common/descriptor_limit.h"

#include <sys/resource.h>

#include <climits>
#include <cstdint>

#include "common/limits.h"

namespace smcd {
namespace {

std::size_t fromRlim(rlim_t value) {
    return value == RLIM_INFINITY ? SIZE_MAX : static_cast<std::size_t>(value);
}

// macOS refuses a soft limit above OPEN_MAX whatever the hard limit says.
#ifdef OPEN_MAX
constexpr std::size_t kPlatformMost = OPEN_MAX;
#else
constexpr std::size_t kPlatformMost = SIZE_MAX;
#endif

}  // namespace

std::size_t descriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    return fromRlim(limit.rlim_cur);
}

std::size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    const std::size_t soft = fromRlim(limit.rlim_cur);
    const std::size_t raised = limits::raisedDescriptorLimit(soft, fromRlim(limit.rlim_max), kPlatformMost);
    if (raised != soft) {
        limit.rlim_cur = static_cast<rlim_t>(raised);
        (void)::setrlimit(RLIMIT_NOFILE, &limit);  // on failure the daemon runs with what it has
    }
    return descriptorLimit();
}

}  // namespace smcd
