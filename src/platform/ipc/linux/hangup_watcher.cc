#include "platform/ipc/linux/hangup_watcher.h"

#include <sys/epoll.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

namespace smcd::platform::ipc {
namespace {

constexpr int kEventsPerWait = 64;

// The connection's end runs off the watcher's thread: its handler may wait
// for the fan engine behind a long fan request.
void endElsewhere(std::shared_ptr<ConnectionState> state) {
    try {
        std::thread([state] { state->end(); }).detach();
    } catch (const std::system_error&) {
        state->end();
    }
}

}  // namespace

HangUpWatcher& HangUpWatcher::shared() {
    static HangUpWatcher* watcher = new HangUpWatcher();  // its thread outlives every static
    return *watcher;
}

HangUpWatcher::HangUpWatcher() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_) return;
    try {
        std::thread([this] { run(); }).detach();
    } catch (const std::system_error&) {
        epoll_.reset();
    }
}

HangUpWatcher::Watch HangUpWatcher::watch(int socket, std::shared_ptr<ConnectionState> state) {
    if (!epoll_) return Watch();
    std::uint64_t id = 0;
    {
        const std::lock_guard guard(lock_);
        id = nextId_++;
        watched_.emplace(id, std::move(state));
    }
    // No events asked for: a hang-up and an error are always reported, and
    // nothing else is wanted. One report is enough.
    epoll_event event{};
    event.events = EPOLLONESHOT;
    event.data.u64 = id;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, socket, &event) != 0) {
        const std::lock_guard guard(lock_);
        watched_.erase(id);
        return Watch();
    }
    return Watch(this, socket, id);
}

void HangUpWatcher::forget(int socket, std::uint64_t id) {
    {
        const std::lock_guard guard(lock_);
        watched_.erase(id);
    }
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, socket, nullptr);
}

void HangUpWatcher::run() {
    std::array<epoll_event, kEventsPerWait> events;
    for (;;) {
        const int ready = ::epoll_wait(epoll_.get(), events.data(), kEventsPerWait, -1);
        for (int i = 0; i < ready; ++i) {
            const std::uint64_t id = events[i].data.u64;  // copied: the event is packed
            std::shared_ptr<ConnectionState> state;
            {
                const std::lock_guard guard(lock_);
                const auto found = watched_.find(id);
                if (found == watched_.end()) continue;  // its call was over first
                state = std::move(found->second);
                watched_.erase(found);
            }
            endElsewhere(std::move(state));
        }
    }
}

HangUpWatcher::Watch::Watch(Watch&& other) noexcept
    : watcher_(std::exchange(other.watcher_, nullptr)), socket_(other.socket_), id_(other.id_) {}

HangUpWatcher::Watch::~Watch() {
    if (watcher_) watcher_->forget(socket_, id_);
}

}  // namespace smcd::platform::ipc
