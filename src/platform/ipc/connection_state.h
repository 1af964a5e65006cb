#pragma once

// Whether a connection has ended, shared by the thread that serves it, the
// watcher that notices a hang-up while a call runs, and whoever acts for the
// connection (the fan service). It ends once, for good: at that moment its
// invalidation handler runs, whichever of them gets there first, and work
// done for the connection is asked to stop (a request of many items stops
// between two of them: nobody is left to answer).

#include <atomic>
#include <functional>
#include <mutex>
#include <stop_token>
#include <utility>

namespace smcd::platform::ipc {

class ConnectionState {
public:
    bool ended() const { return ended_.load(std::memory_order_acquire); }
    // Stop is requested when the connection ends; portable work takes this
    // rather than the connection.
    std::stop_token stopToken() const { return stop_.get_token(); }

    // Marks the connection ended; the first call runs the invalidation
    // handler, and no call returns before that run is over.
    void end() {
        ended_.store(true, std::memory_order_release);
        stop_.request_stop();
        const std::lock_guard guard(handlerLock_);
        if (auto handler = std::exchange(handler_, nullptr)) handler();
    }

    // A connection that has ended already runs the handler at once: on macOS
    // the system may invalidate a peer it refuses at any moment, and the
    // handler is what uncounts it.
    void setInvalidationHandler(std::function<void()> handler) {
        const std::lock_guard guard(handlerLock_);
        if (!ended()) handler_ = std::move(handler);
        else if (handler) handler();
    }

private:
    std::atomic<bool> ended_{false};
    std::stop_source stop_;
    std::mutex handlerLock_;
    std::function<void()> handler_;
};

}  // namespace smcd::platform::ipc
