#pragma once

// What a process forked to stand guard needs from the system: to hold none of
// its parent's descriptors, and to be the last one killed when memory runs
// out, since it must outlive whatever is killed first.

namespace smcd::platform {

// Leaves the parent's session and process group: a stop or kill aimed at
// the daemon's group (a terminal's Ctrl-C, launchd ending a job's group when
// the job exits) must not end the guardian along with it.
void leaveParentsProcessGroup();

// Closes every descriptor numbered `lowest` or above.
void closeDescriptorsFrom(int lowest);

// Asks the system never to pick this process, or to pick it last, when it
// kills processes to free memory. Best effort: without the privilege the
// process goes on as it was.
void becomeLastForMemoryKiller();

}  // namespace smcd::platform
