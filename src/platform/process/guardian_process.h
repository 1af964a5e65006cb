#pragma once

// What the fan guardian needs of the system. The guardian is the daemon's own
// executable started afresh (a new process image, never a fork of a daemon
// that may run many threads), told its role by the link it finds as one
// inherited descriptor: the daemon has no command line to carry a role.
// While it runs it holds a post, a system-wide mark that the next daemon's
// guardian waits on, so that two guardians never hand back the same fans.

#include <sys/types.h>
#include <unistd.h>

#include <string_view>

#include "common/expected.h"
#include "common/unique_fd.h"

namespace smcd::platform {

// Where a guardian finds its end of the link.
inline constexpr int kGuardianLinkDescriptor = STDERR_FILENO + 1;

struct SpawnedGuardian {
    pid_t pid = -1;
    UniqueFd link;  // the daemon's end: a message socket, close-on-exec
};

// Starts the running executable again as a guardian, linked to the caller:
// in a session and process group of its own (a stop or kill aimed at the
// daemon's group, a terminal's Ctrl-C or launchd ending a job's group, must
// not end it), with the calling thread's signal mask (the daemon's stop
// signals stay blocked, so a stop sent to every process of the service lets
// the daemon hand back first), default signal dispositions, an empty
// environment and no descriptor of the daemon's but 0, 1, 2 and the link.
// The error is an errno value.
Expected<SpawnedGuardian, int> spawnGuardian();

// In a process started by spawnGuardian: its end of the link, now
// close-on-exec. Otherwise nothing, and descriptors are left as they are.
UniqueFd takeGuardianLink();

// Asks the system never to pick this process, or to pick it last, when it
// kills processes to free memory. Without the privilege the process goes on
// as it was; the error is an errno value.
Expected<void, int> becomeLastForMemoryKiller();

// Takes the post `name` for as long as the descriptor lives (and the process
// with it); an errno value when it cannot, EADDRINUSE when someone holds it.
// A valid descriptor takes connections (guardianPostHolder's), which the
// holder accepts and drops; where the process itself is the mark it is empty.
Expected<UniqueFd, int> holdGuardianPost(std::string_view name);

// Who holds the post `name` now. Anyone can take a free name, so only a
// holder running as root can be a guardian.
struct PostHolder {
    enum class Kind { nobody, root, other, unknown } kind = Kind::nobody;
    uid_t uid = 0;  // for `other`
};
PostHolder guardianPostHolder(std::string_view name);

}  // namespace smcd::platform
