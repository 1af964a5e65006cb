#include "platform/ipc/connection_quota.h"

namespace smcd::platform::ipc {

Expected<ConnectionQuota::Place, ConnectionQuota::Refusal> ConnectionQuota::admit(uid_t uid) {
    const std::lock_guard guard(lock_);
    std::size_t& mine = perUser_[uid];
    if (mine >= caps_.perUser) {
        if (mine == 0) perUser_.erase(uid);
        return unexpected(Refusal::userAtCap);
    }
    if (total_ >= caps_.total) {
        if (mine == 0) perUser_.erase(uid);
        return unexpected(Refusal::daemonAtCap);
    }
    ++mine;
    ++total_;
    return Place(this, uid);
}

void ConnectionQuota::leave(uid_t uid) {
    const std::lock_guard guard(lock_);
    --total_;
    if (const auto it = perUser_.find(uid); it != perUser_.end() && --it->second == 0) perUser_.erase(it);
}

std::string_view describe(ConnectionQuota::Refusal refusal) {
    switch (refusal) {
        case ConnectionQuota::Refusal::userAtCap: return "its user holds as many connections as one user may";
        case ConnectionQuota::Refusal::daemonAtCap: return "the daemon holds as many connections as it may";
    }
    return "unknown";
}

}  // namespace smcd::platform::ipc
