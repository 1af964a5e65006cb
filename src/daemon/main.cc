// smcd: the privileged helper daemon. No arguments, no configuration: it
// serves the com.vornik.smcd service until the service manager stops it or a
// client asks it to exit for an update.

#include <signal.h>

#include <array>
#include <memory>
#include <string>

#include "common/descriptor_limit.h"
#include "daemon/constants.h"
#include "daemon/process_exit.h"
#include "daemon/service_delegate.h"
#include "fan/fan_guardian.h"
#include "maintenance/tool_environment.h"
#include "platform/ipc/listener.h"
#include "platform/log/daemon_log.h"
#include "platform/process/guardian_process.h"

namespace {

using smcd::daemonLog;
using smcd::platform::LogLevel;

// Every signal that would end the process by default and can be caught.
// Each one is taken by the main thread, which hands the fans back before the
// daemon goes: a daemon that ends must never leave a fan in manual mode.
// SIGPIPE is ignored instead. The faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL)
// keep their default: nothing can run safely after a real one, and a
// sanitizer must still see it. They, SIGKILL, the SIGABRT of abort() (which
// unblocks it first) and a SIGTRAP or SIGSYS the kernel forces on a thread (a
// trap instruction, a refused system call) end the process at once, blocked
// or not; the fan guardian hands the fans back then.
constexpr std::array kStopSignals{
    SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ,
    SIGABRT, SIGTRAP, SIGSYS, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

// Job control would stop the daemon with a fan manual and no end in sight
// for its clients; a daemon has no terminal to share, so they are ignored.
constexpr std::array kJobControlSignals{SIGTSTP, SIGTTIN, SIGTTOU};

void take(sigset_t& set, int signal) {
    // A stop that arrives ignored (a shell's background job ignores
    // SIGINT) would be discarded before sigwait could see it.
    ::signal(signal, SIG_DFL);
    sigaddset(&set, signal);
}

sigset_t takeStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) take(set, signal);
#ifdef SIGRTMIN
    // Every real-time signal ends a process by default.
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) take(set, signal);
#endif
    // Blocked here, before any other thread exists, so that every thread
    // inherits the mask and only sigwait below ever receives a stop.
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

}  // namespace

int main() {
    // A peer that closes its end must never kill the daemon mid-reply.
    ::signal(SIGPIPE, SIG_IGN);
    for (const int signal : kJobControlSignals) ::signal(signal, SIG_IGN);
    // Started by a daemon as its fan guardian: that is all this process does.
    // It keeps the mask it was started with, the daemon's stop signals blocked.
    if (auto link = smcd::platform::takeGuardianLink()) smcd::serveAsFanGuardian(std::move(link));
    const sigset_t stops = takeStopSignals();

    // The log comes first so that every later failure is reported.
    (void)daemonLog();
    // Before anything is sized from it: the connection caps and the walks'
    // share read the limit the daemon runs with.
    smcd::raiseDescriptorLimit();
    // Built once before any request can need it.
    (void)smcd::toolEnvironment();
    // The SMC is opened once, for the life of the process, before the
    // listener can offer the delegate a peer.
    auto engine = std::make_shared<smcd::FanEngine>();
    // Fan requests wait until a guardian stands; from then on the fans go
    // back to automatic however the process ends.
    engine->startGuardian();
    auto delegate = std::make_shared<smcd::ServiceDelegate>(engine);
    static smcd::platform::ipc::Listener listener{std::string(smcd::product_facts::kServiceName),
                                                  smcd::platform::ipc::startAccepting};
    listener.setDelegate(delegate);
    // The requirement is in force before the listener resumes, so no peer is
    // ever admitted unchecked.
    listener.setConnectionCodeSigningRequirement(smcd::kPeerRequirement);
    if (const auto resumed = listener.resume(); !resumed) {
        SMCD_LOG(daemonLog(), LogLevel::error, "cannot listen for %{public}s: %{public}s", smcd::product_facts::kServiceName,
                 smcd::platform::ipc::describe(resumed.error()));
        smcd::exitNow(1);
    }

    // The main thread has nothing left to do but wait for a stop.
    int signal = 0;
    while (::sigwait(&stops, &signal) != 0) {
    }
    delegate->engine()->handBackForExit("signal " + std::to_string(signal));
    smcd::exitNow(0);
}
