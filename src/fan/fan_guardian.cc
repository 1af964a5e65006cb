// The daemon's side of the fan guardian: one thread that starts it, watches
// its link and replaces it when it ends.

#include "fan/fan_guardian.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "common/limits.h"
#include "fan/guardian_link.h"
#include "platform/log/daemon_log.h"
#include "platform/process/guardian_process.h"

namespace smcd {
namespace {

using namespace std::chrono_literals;
using platform::LogLevel;
using Clock = std::chrono::steady_clock;

// From its start to armed a guardian loads the executable and opens one SMC
// connection: well under a second even under load. One not armed by then is
// ended and counts as not started.
constexpr auto kStartTimeout = 10s;
// How often a guardian that could not be started is tried again.
constexpr auto kRetryPause = 2s;
// How often an earlier guardian's post is looked at while it is awaited.
constexpr auto kPostLookInterval = 100ms;

long long milliseconds(Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// Waits for the guardian's end and tells how it ended.
std::string reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return "not observed";
    }
    if (WIFSIGNALED(status)) return "by signal " + std::to_string(WTERMSIG(status));
    return "with status " + std::to_string(WEXITSTATUS(status));
}

// Whether the link says "armed" within the start time-out.
bool armed(int link) {
    const auto deadline = Clock::now() + kStartTimeout;
    for (;;) {
        const auto left = milliseconds(deadline - Clock::now());
        pollfd answer{link, POLLIN, 0};
        const int ready = ::poll(&answer, 1, static_cast<int>(left > 0 ? left : 0));
        if (ready < 0 && errno == EINTR) continue;
        return ready == 1 && guardian_link::receive(link) == guardian_link::kArmed;
    }
}

// A guardian started and armed, or why there is none.
Expected<platform::SpawnedGuardian, std::string> startGuardian() {
    auto spawned = platform::spawnGuardian();
    if (!spawned) return unexpected("no process for it: " + std::string(std::strerror(spawned.error())));
    if (armed(spawned->link.get())) return std::move(*spawned);
    ::kill(spawned->pid, SIGKILL);  // not collected yet, so the pid is still its own
    return unexpected("it ended " + reap(spawned->pid) + " before it held the SMC");
}

void waitForHangUp(int link) {
    for (;;) {
        pollfd watched{link, POLLIN, 0};
        const int ready = ::poll(&watched, 1, -1);
        if (ready < 0 && errno == EINTR) continue;
        // The guardian sends nothing after "armed": anything now is its end.
        if (ready != 0) return;
    }
}

}  // namespace

void FanGuardian::keep(Readiness readiness) {
    {
        const std::lock_guard lock(mutex_);
        state_ = State::starting;
        readiness_ = std::move(readiness);
        readiness_(false);
    }
    try {
        std::thread([this] { run(); }).detach();
    } catch (const std::system_error&) {
        SMCD_LOG(daemonLog(), LogLevel::error,
                 "fan guardian not started: no thread to keep it; manual fan requests are refused");
        const std::lock_guard lock(mutex_);
        state_ = State::unavailable;
        readiness_(true);
    }
}

bool FanGuardian::standing() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return state_ != State::starting; });
    return state_ != State::unavailable;
}

void FanGuardian::retire(bool fansHandedBack) {
    const std::lock_guard lock(mutex_);
    retired_ = true;
    handedBack_ = fansHandedBack;
    if (handedBack_ && link_ >= 0) (void)guardian_link::send(link_, guardian_link::kHandedBack);
}

void FanGuardian::awaitPredecessor() {
    const auto name = fanGuardianPostName();
    const auto began = Clock::now();
    for (bool waited = false;; waited = true) {
        const auto holder = platform::guardianPostHolder(name);
        using Kind = platform::PostHolder::Kind;
        if (holder.kind == Kind::other) {
            SMCD_LOG(daemonLog(), LogLevel::error, "fan guardian: uid %{public}u holds its post; not waiting on it",
                     static_cast<unsigned>(holder.uid));
            return;
        }
        if (holder.kind == Kind::unknown) {
            SMCD_LOG(daemonLog(), LogLevel::error, "fan guardian: cannot tell who holds its post; not waiting on it");
            return;
        }
        if (holder.kind == Kind::nobody) {
            if (waited) {
                SMCD_LOG(daemonLog(), LogLevel::notice,
                         "fan guardian: waited %{public}lld ms for an earlier daemon's guardian to hand back",
                         milliseconds(Clock::now() - began));
            }
            return;
        }
        if (Clock::now() - began >= limits::kFanGuardianSuccessionWait) {
            SMCD_LOG(daemonLog(), LogLevel::error,
                     "fan guardian: an earlier daemon's guardian still holds its post after %{public}lld ms; "
                     "starting another beside it",
                     milliseconds(Clock::now() - began));
            return;
        }
        std::this_thread::sleep_for(kPostLookInterval);
    }
}

void FanGuardian::run() {
    awaitPredecessor();
    bool replacing = false;
    for (;;) {
        auto started = startGuardian();
        std::unique_lock lock(mutex_);
        if (retired_) {
            // Too late to guard anything: the daemon ends and handed back already, or could not.
            if (started) {
                if (handedBack_) (void)guardian_link::send(started->link.get(), guardian_link::kHandedBack);
                started->link.release();  // left open until the process ends
            }
            return;
        }
        if (!started) {
            if (state_ != State::unavailable) {
                SMCD_LOG(daemonLog(), LogLevel::error,
                         "fan guardian not started: %{public}s; manual fan requests are refused until one is",
                         started.error());
            }
            state_ = State::unavailable;
            changed_.notify_all();
            readiness_(true);
            lock.unlock();
            std::this_thread::sleep_for(kRetryPause);
            replacing = true;
            continue;
        }
        if (replacing) {
            SMCD_LOG(daemonLog(), LogLevel::notice, "fan guardian started again: pid %{public}d", started->pid);
        }
        const int link = link_ = started->link.get();
        state_ = State::standing;
        changed_.notify_all();
        readiness_(true);
        lock.unlock();

        waitForHangUp(link);
        const std::string how = reap(started->pid);
        lock.lock();
        link_ = -1;
        started->link.reset();
        if (retired_) return;
        SMCD_LOG(daemonLog(), LogLevel::error, "fan guardian (pid %{public}d) ended %{public}s; starting another",
                 started->pid, how);
        state_ = State::starting;
        readiness_(false);
        replacing = true;
    }
}

}  // namespace smcd
