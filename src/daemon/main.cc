// smcd: the privileged helper daemon. No arguments, no configuration: it
// serves the com.vornik.smcd service until the service manager stops it or a
// client asks it to exit for an update.

#include <signal.h>
#include <sys/resource.h>

#include <memory>

#include "daemon/constants.h"
#include "daemon/process_exit.h"
#include "daemon/service_delegate.h"
#include "maintenance/tool_environment.h"
#include "platform/ipc/listener.h"
#include "platform/log/daemon_log.h"

namespace {

using smcd::daemonLog;
using smcd::platform::LogLevel;

// Service managers start daemons with a low soft limit; the removal engine
// and measurement hold one descriptor per directory level of a deep tree.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

int main() {
    // A peer that closes its end must never kill the daemon mid-reply.
    ::signal(SIGPIPE, SIG_IGN);
    // Stop signals are taken by the main thread alone, below; every thread
    // started from here on inherits the blocked mask.
    const sigset_t stops = stopSignals();
    // A stop that arrives ignored (a shell's background job) would be
    // discarded before sigwait could see it.
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    raiseDescriptorLimit();

    (void)daemonLog();                    // 1
    (void)smcd::toolEnvironment();        // 2
    const auto requirement = smcd::peerRequirement;  // 3
    auto delegate = std::make_shared<smcd::ServiceDelegate>();  // 4
    static smcd::platform::ipc::Listener listener{std::string(smcd::vornikFanServiceName)};  // 5
    listener.setDelegate(delegate);                        // 6
    listener.setConnectionCodeSigningRequirement(requirement);  // 7
    if (const auto resumed = listener.resume(); !resumed) {  // 8
        daemonLog().log(LogLevel::Error, "cannot listen for %{public}s: %{public}s", smcd::vornikFanServiceName,
                        smcd::platform::ipc::describe(resumed.error()));
        smcd::exitNow(1);
    }

    // 9: the main thread parks here for the life of the process. A stop from
    // the service manager hands the fans back first, as the exit for an
    // update does: no fan is left in manual mode because the daemon went away.
    int signal = 0;
    while (::sigwait(&stops, &signal) != 0) {
    }
    smcd::handBackFans(*delegate->engine());
    smcd::exitNow(0);
}
