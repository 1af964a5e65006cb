#pragma once

// The connections the daemon holds at once, in all and per effective uid,
// against their caps (limits::capConnections). A connection over a cap is
// refused before the gate or the delegate sees it; one admitted holds its
// place until its thread is done with it.

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "common/expected.h"
#include "common/limits.h"

namespace smcd::platform::ipc {

class ConnectionQuota {
public:
    enum class Refusal { userAtCap, daemonAtCap };

    explicit ConnectionQuota(limits::ConnectionCaps caps) : caps_(caps) {}
    ConnectionQuota(const ConnectionQuota&) = delete;
    ConnectionQuota& operator=(const ConnectionQuota&) = delete;

    // One admitted connection's place, given back when it goes.
    class Place {
    public:
        Place(Place&& other) noexcept : quota_(std::exchange(other.quota_, nullptr)), uid_(other.uid_) {}
        Place& operator=(Place&&) = delete;
        ~Place() {
            if (quota_) quota_->leave(uid_);
        }

    private:
        friend class ConnectionQuota;
        Place(ConnectionQuota* quota, uid_t uid) : quota_(quota), uid_(uid) {}
        ConnectionQuota* quota_;
        uid_t uid_;
    };

    Expected<Place, Refusal> admit(uid_t uid);
    const limits::ConnectionCaps& caps() const { return caps_; }

private:
    void leave(uid_t uid);

    const limits::ConnectionCaps caps_;
    std::mutex lock_;
    std::size_t total_ = 0;
    std::unordered_map<uid_t, std::size_t> perUser_;
};

std::string_view describe(ConnectionQuota::Refusal refusal);

}  // namespace smcd::platform::ipc
