#pragma once

// The fan guardian: a small process, forked from the daemon at start-up,
// whose only work is to put every fan back to automatic once the daemon is
// gone without having done so itself, however it went (SIGKILL and the
// memory killer included). It holds its own SMC connection and learns of the
// daemon's end from a socket whose other end only the daemon holds: when the
// daemon's process ends, the kernel closes that end for it.

#include <sys/types.h>

#include <functional>
#include <memory>

#include "common/expected.h"
#include "common/unique_fd.h"
#include "fan/smc_fan_core.h"

namespace smcd {

enum class FanGuardianFailure {
    noLink,  // no socket pair for the link
    noFork,  // no process for the guardian
    noSMC,   // the guardian could not open the SMC for itself
};

const char* describe(FanGuardianFailure failure);

// The daemon's end of the link. Destroying it (or the process ending) sets
// the guardian off; `fansHandedBack` first lets it end without touching them.
class FanGuardian {
public:
    using OpenCore = std::function<std::unique_ptr<SMCFanCore>()>;

    // Forks the guardian and returns once it holds its SMC connection. Only
    // while the process has a single thread: the child runs on without exec.
    static Expected<FanGuardian, FanGuardianFailure> start(const OpenCore& openCore = [] { return SMCFanCore::open(); });

    FanGuardian() = default;
    FanGuardian(FanGuardian&&) = default;
    FanGuardian& operator=(FanGuardian&&) = default;

    // Tells the guardian that every fan is automatic and no fan request will
    // run again in this process: it ends without a hand-back of its own.
    void fansHandedBack();
    pid_t pid() const { return pid_; }

private:
    FanGuardian(UniqueFd link, pid_t pid) : link_(std::move(link)), pid_(pid) {}

    UniqueFd link_;
    pid_t pid_ = -1;
};

}  // namespace smcd
