#include "platform/credentials/acting_as.h"

#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace smcd::platform {
namespace {

// No one has these ids: asking for them changes nothing, and setfsuid and
// setfsgid answer with the id in force, which is how that is read.
constexpr uid_t kNoUser = static_cast<uid_t>(-1);
constexpr gid_t kNoGroup = static_cast<gid_t>(-1);

uid_t fileSystemUser() { return static_cast<uid_t>(::setfsuid(kNoUser)); }
gid_t fileSystemGroup() { return static_cast<gid_t>(::setfsgid(kNoGroup)); }

// Both calls answer with the previous id whether they succeed or not: the
// id read back afterwards is what tells.
bool becomeUser(uid_t user) {
    ::setfsuid(user);
    return fileSystemUser() == user;
}
bool becomeGroup(gid_t group) {
    ::setfsgid(group);
    return fileSystemGroup() == group;
}

// The system call itself: glibc's setgroups makes every thread of the
// process take the groups, as POSIX wants, and only this one may.
int setThreadGroups(const std::vector<gid_t>& groups) {
    return ::syscall(SYS_setgroups, groups.size(), groups.data()) == 0 ? 0 : errno;
}

int readThreadGroups(std::vector<gid_t>& groups) {
    for (;;) {
        const int count = ::getgroups(0, nullptr);
        if (count < 0) return errno;
        groups.resize(static_cast<std::size_t>(count));
        const int read = ::getgroups(count, groups.data());
        if (read >= 0) {
            groups.resize(static_cast<std::size_t>(read));
            return 0;
        }
        if (errno != EINVAL) return errno;  // more groups than a moment ago: read again
    }
}

}  // namespace

ActingAs::ActingAs(const FileSystemIdentity& identity) : ownUser_(fileSystemUser()), ownGroup_(fileSystemGroup()) {
    failure_ = readThreadGroups(ownGroups_);
    if (failure_ != 0) return;
    // Groups first and the user last: the file-system user decides which of
    // the daemon's privileges over files the thread still has.
    failure_ = setThreadGroups(identity.groups);
    if (failure_ != 0) return;
    switched_ = true;
    if (!becomeGroup(identity.group) || !becomeUser(identity.user)) {
        failure_ = EPERM;
        restore();
        switched_ = false;
    }
}

ActingAs::~ActingAs() {
    if (switched_) restore();
}

void ActingAs::restore() const {
    if (becomeUser(ownUser_) && becomeGroup(ownGroup_) && setThreadGroups(ownGroups_) == 0) return;
    std::abort();
}

}  // namespace smcd::platform
