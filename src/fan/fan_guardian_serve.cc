// The guardian process: holds its post and its own SMC connection, says it
// is armed, then waits for the daemon's end and hands the fans back unless
// the daemon said it had. It runs in a process of its own image, so nothing
// of the daemon's threads or locks is in it.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fan/fan_guardian.h"
#include "fan/guardian_link.h"
#include "fan/smc_fan_core.h"
#include "platform/log/daemon_log.h"
#include "platform/process/guardian_process.h"

namespace smcd {
namespace {

using platform::LogLevel;

// Lets in and drops whoever knocked at the post (a daemon asking who holds
// it), so that knocking can never fill its queue.
void dropCallers(int post) {
    for (int caller; (caller = ::accept(post, nullptr, nullptr)) >= 0;) ::close(caller);
}

// Until the daemon's end: whether it said every fan is back.
bool waitForTheDaemon(int link, int post) {
    bool handedBack = false;
    const auto hear = [&] {
        const auto byte = guardian_link::receive(link);
        handedBack = handedBack || byte == guardian_link::kHandedBack;
        return byte.has_value();
    };
    for (;;) {
        pollfd watched[] = {{link, POLLIN, 0}, {post, POLLIN, 0}};
        const int ready = ::poll(watched, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            // Never hand back early: wait on the link alone.
            while (hear()) {
            }
            return handedBack;
        }
        if (watched[1].revents & POLLIN) dropCallers(post);
        if (watched[0].revents != 0 && !hear()) return handedBack;
    }
}

}  // namespace

void serveAsFanGuardian(UniqueFd link) {
    // The daemon waited for any earlier guardian before it started this one.
    auto post = platform::holdGuardianPost(fanGuardianPostName());
    if (!post) {
        SMCD_LOG(daemonLog(), LogLevel::error,
                 "fan guardian: its post is taken (%{public}s); a daemon started after this one will not wait for it",
                 std::strerror(post.error()));
    }
    if (const auto lowered = platform::becomeLastForMemoryKiller(); !lowered) {
        SMCD_LOG(daemonLog(), LogLevel::error, "fan guardian: the memory killer may pick it first: %{public}s",
                 std::strerror(lowered.error()));
    }
    const auto core = SMCFanCore::open();
    if (!core || !guardian_link::send(link.get(), guardian_link::kArmed)) ::_exit(1);

    if (waitForTheDaemon(link.get(), post ? post->get() : -1)) ::_exit(0);

    // The daemon is gone and never said it handed the fans back.
    try {
        if (const auto outcome = core->resetAllToAuto()) {
            SMCD_LOG(daemonLog(), LogLevel::notice,
                     "fan guardian: the daemon ended without handing the fans back; every fan is automatic again");
        } else {
            SMCD_LOG(daemonLog(), LogLevel::error,
                     "fan guardian: the daemon ended without handing the fans back: %{public}s", outcome.error());
        }
    } catch (...) {
        // Out of memory while reporting: the hand-back itself allocates nothing.
    }
    ::_exit(0);
}

}  // namespace smcd
