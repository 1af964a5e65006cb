#include "platform/process/guardian_process.h"

#include <fcntl.h>
#include <linux/oom.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "common/unique_fd.h"

namespace smcd::platform {

void leaveParentsProcessGroup() { (void)::setsid(); }

void closeDescriptorsFrom(int lowest) {
    if (::close_range(static_cast<unsigned>(lowest), UINT_MAX, 0) == 0) return;
    // Kernels before 5.9: every number up to the limit, one by one.
    const long highest = ::sysconf(_SC_OPEN_MAX);
    for (long fd = lowest; fd < highest; ++fd) ::close(static_cast<int>(fd));
}

void becomeLastForMemoryKiller() {
    const UniqueFd adjustment(::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC));
    if (!adjustment) return;
    char text[16];
    const int length = std::snprintf(text, sizeof(text), "%d", OOM_SCORE_ADJ_MIN);
    if (length > 0) (void)!::write(adjustment.get(), text, static_cast<std::size_t>(length));
}

}  // namespace smcd::platform
