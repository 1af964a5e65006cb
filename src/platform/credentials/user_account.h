#pragma once

// A user as the user database describes them: who they are to the file
// system and where their home is. The environment is never consulted: the
// daemon has no settings, and a peer's environment is the peer's to choose.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace smcd::platform {

// What the kernel checks a user's file access against and gives what the
// user creates: the user, the primary group and every group the user is a
// member of.
struct FileSystemIdentity {
    uid_t user = 0;
    gid_t group = 0;
    std::vector<gid_t> groups;
};

struct UserAccount {
    FileSystemIdentity identity;
    std::string home;  // absolute; empty when the entry names none
};

// Nothing when `uid` has no entry in the user database.
std::optional<UserAccount> accountOf(uid_t uid);

}  // namespace smcd::platform
