#pragma once

// Notices at once that the peer of a connection whose call is running has
// hung up, rather than when the call is over: one thread for the whole
// daemon, waiting on every busy connection's socket at once. The connection
// is ended there and then (its invalidation handler runs on a thread of its
// own, so that a hand-back waiting for the fans delays no other), while the
// call may finish; its reply is dropped.
//
// A peer that only shuts down its writing side (sends its requests, then
// waits for the replies) has not hung up.

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "common/unique_fd.h"
#include "platform/ipc/connection_state.h"

namespace smcd::platform::ipc {

class HangUpWatcher {
public:
    // The daemon's, started on first use and running for the life of the process.
    static HangUpWatcher& shared();

    // Watches `socket` for as long as the Watch lives; the socket must stay
    // open that long. When the watcher cannot watch, a hang-up is noticed
    // when the call is over, as the connection's own thread sees it.
    class Watch {
    public:
        Watch() = default;
        Watch(Watch&& other) noexcept;
        Watch& operator=(Watch&&) = delete;
        ~Watch();

    private:
        friend class HangUpWatcher;
        Watch(HangUpWatcher* watcher, int socket, std::uint64_t id) : watcher_(watcher), socket_(socket), id_(id) {}
        HangUpWatcher* watcher_ = nullptr;
        int socket_ = -1;
        std::uint64_t id_ = 0;
    };
    Watch watch(int socket, std::shared_ptr<ConnectionState> state);

private:
    HangUpWatcher();
    void run();
    void forget(int socket, std::uint64_t id);

    UniqueFd epoll_;
    std::mutex lock_;
    std::unordered_map<std::uint64_t, std::shared_ptr<ConnectionState>> watched_;
    std::uint64_t nextId_ = 1;
};

}  // namespace smcd::platform::ipc
