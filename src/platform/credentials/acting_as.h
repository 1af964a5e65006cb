#pragma once

// File-system work in a place another user controls, done with that user's
// rights instead of the daemon's: the kernel checks every lookup, creation
// and open as it would for the user and makes what is created theirs, and
// none of the daemon's privileges over files apply. Whatever the user swaps
// into a path meanwhile then gains them nothing they could not have done
// themselves. Only the calling thread changes; every other thread goes on
// with the daemon's own identity.

#include <sys/types.h>

#include <vector>

#include "platform/credentials/user_account.h"

namespace smcd::platform {

// While it lives, the thread that made it acts on files as `identity`. Keep
// it a local variable: it must end on the thread that made it, before that
// thread does any other work.
class ActingAs {
public:
    explicit ActingAs(const FileSystemIdentity& identity);
    // The thread's own identity back. A thread that cannot get it back would
    // do its next work with a user's rights: the process ends instead.
    ~ActingAs();
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;

    // 0 when the thread now acts as the identity; otherwise the errno that
    // prevented it, and the thread's identity is what it was.
    int failure() const { return failure_; }

private:
    void restore() const;

    int failure_ = 0;
    bool switched_ = false;
    uid_t ownUser_ = 0;
    gid_t ownGroup_ = 0;
    std::vector<gid_t> ownGroups_;
};

}  // namespace smcd::platform
