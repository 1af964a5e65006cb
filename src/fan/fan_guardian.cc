#include "fan/fan_guardian.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/log/daemon_log.h"
#include "platform/process/guardian_process.h"

namespace smcd {
namespace {

// One byte each way: the guardian is armed; the daemon has handed the fans back.
constexpr char kArmed = 'A';
constexpr char kHandedBack = 'H';

// Where the guardian keeps its end of the link; everything above is closed.
constexpr int kLinkDescriptor = STDERR_FILENO + 1;

#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;  // SIGPIPE is ignored process-wide from main's first line
#endif

bool sendByte(int fd, char byte) {
    for (;;) {
        const ssize_t sent = ::send(fd, &byte, 1, kNoSignal);
        if (sent == 1) return true;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }
}

// The next byte, or nothing once the other end is closed (or broken).
std::optional<char> receiveByte(int fd) {
    for (;;) {
        char byte = 0;
        const ssize_t got = ::recv(fd, &byte, 1, 0);
        if (got == 1) return byte;
        if (got < 0 && errno == EINTR) continue;
        return std::nullopt;
    }
}

bool closeOnExec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

// The guardian's whole life. Whatever the signal mask and dispositions the
// daemon had set by now stay: its stop signals remain blocked here, so a
// stop sent to every process of the service (systemd signals its whole
// control group) waits for the daemon to hand back instead of ending the
// guardian first.
[[noreturn]] void guard(int link, const FanGuardian::OpenCore& openCore) {
    if (link != kLinkDescriptor && ::dup2(link, kLinkDescriptor) < 0) ::_exit(1);
    platform::closeDescriptorsFrom(kLinkDescriptor + 1);
    platform::leaveParentsProcessGroup();
    platform::becomeLastForMemoryKiller();
    const auto core = openCore();
    if (!core || !sendByte(kLinkDescriptor, kArmed)) ::_exit(1);

    bool handedBack = false;
    while (const auto byte = receiveByte(kLinkDescriptor)) handedBack = handedBack || *byte == kHandedBack;
    if (handedBack) ::_exit(0);

    // The daemon is gone and never said it handed the fans back.
    try {
        if (const auto outcome = core->resetAllToAuto()) {
            SMCD_LOG(daemonLog(), platform::LogLevel::notice,
                     "fan guardian: the daemon ended without handing the fans back; every fan is automatic again");
        } else {
            SMCD_LOG(daemonLog(), platform::LogLevel::error,
                     "fan guardian: the daemon ended without handing the fans back: %{public}s",
                     outcome.error());
        }
    } catch (...) {
        // Out of memory while reporting: the hand-back itself allocates nothing.
    }
    ::_exit(0);
}

}  // namespace

const char* describe(FanGuardianFailure failure) {
    switch (failure) {
        case FanGuardianFailure::noLink: return "no socket pair for its link";
        case FanGuardianFailure::noFork: return "no process for it";
        case FanGuardianFailure::noSMC: return "it could not open the SMC";
    }
    return "unknown failure";
}

Expected<FanGuardian, FanGuardianFailure> FanGuardian::start(const OpenCore& openCore) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) < 0) return unexpected(FanGuardianFailure::noLink);
    UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    // Single-threaded here, so no fork can slip between creation and flag: no
    // maintenance child ever inherits the daemon's end.
    if (!closeOnExec(ours.get()) || !closeOnExec(theirs.get())) return unexpected(FanGuardianFailure::noLink);

    const pid_t pid = ::fork();
    if (pid < 0) return unexpected(FanGuardianFailure::noFork);
    if (pid == 0) {
        ours.reset();
        guard(theirs.release(), openCore);
    }
    theirs.reset();
    const auto armed = receiveByte(ours.get());
    if (armed != kArmed) {
        // It ended without its SMC connection: collect it now, nobody else will.
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return unexpected(FanGuardianFailure::noSMC);
    }
    return FanGuardian(std::move(ours), pid);
}

void FanGuardian::fansHandedBack() {
    if (link_) (void)sendByte(link_.get(), kHandedBack);
}

}  // namespace smcd
