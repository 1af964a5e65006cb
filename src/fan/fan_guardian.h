#pragma once

// The fan guardian: a small process whose only work is to put every fan back
// to automatic once the daemon is gone without having done so itself,
// however it went (SIGKILL and the memory killer included). It holds its own
// SMC connection and learns of the daemon's end from a link whose other end
// only the daemon holds: when the daemon's process ends, the kernel closes
// that end for it.
//
// The daemon keeps one guardian for its whole life: it notices at once when
// its guardian has ended (the link hangs up), collects it and starts another,
// and serves a manual fan request only while one stands. Across restarts
// there is never more than one: a guardian holds a post until its hand-back
// is over, and a new daemon serves no fan request until an earlier daemon's
// guardian has let go of it (a bounded wait, logged).

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "common/unique_fd.h"

namespace smcd {

// The guardian's whole life, in a process started as one (see main).
[[noreturn]] void serveAsFanGuardian(UniqueFd link);

// The name of the post the guardians of this machine's SMC hold.
std::string fanGuardianPostName();

// The daemon's side: keeps a guardian running.
class FanGuardian {
public:
    // Told false while requests must wait for a guardian, true once they may run.
    using Readiness = std::function<void(bool ready)>;

    FanGuardian() = default;
    FanGuardian(const FanGuardian&) = delete;
    FanGuardian& operator=(const FanGuardian&) = delete;

    // Starts keeping a guardian, from a thread of its own that lives as long
    // as the process (so must this object): it waits for an earlier daemon's
    // guardian, starts one, and starts another whenever it ends. Requests
    // wait until the first has started or failed to.
    void keep(Readiness readiness);

    // Whether a guardian stands, once the one being started has started or
    // failed to. True while none is kept (no SMC to guard, or tests).
    bool standing();

    // The daemon is ending and no fan request will run again: no guardian is
    // started after this. `fansHandedBack` tells the one standing that every
    // fan is automatic, so that it ends without touching them; without it,
    // the guardian hands back itself once the daemon is gone.
    void retire(bool fansHandedBack);

private:
    enum class State { unkept, starting, standing, unavailable };

    void run();
    void awaitPredecessor();

    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::unkept;
    bool retired_ = false;
    bool handedBack_ = false;
    int link_ = -1;  // the standing guardian's link, owned by run()
    Readiness readiness_;
};

}  // namespace smcd
