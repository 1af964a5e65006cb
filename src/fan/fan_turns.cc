#include "fan/fan_turns.h"

namespace smcd {

FanTurns::Turn FanTurns::forUser(std::uint32_t uid) {
    std::unique_lock lock(mutex_);
    Waiter waiter;
    auto& queue = requests_[uid];
    // A user whose request runs now rejoins the round when it ends.
    if (queue.empty() && holder_ != uid) users_.push_back(uid);
    queue.push_back(&waiter);
    if (!held_) grantNext();
    waiter.granted.wait(lock, [&] { return waiter.done; });
    return Turn(this);
}

std::optional<FanTurns::Turn> FanTurns::first() {
    std::unique_lock lock(mutex_);
    if (closed_) return std::nullopt;
    Waiter waiter;
    handBacks_.push_back(&waiter);
    if (!held_) grantNext();
    waiter.granted.wait(lock, [&] { return waiter.done; });
    if (!closed_) return Turn(this);
    // Another hand-back closed the turns while this one waited.
    held_ = false;
    grantNext();
    return std::nullopt;
}

void FanTurns::close() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
}

void FanTurns::shut(bool shut) {
    const std::lock_guard lock(mutex_);
    shut_ = shut;
    if (!held_) grantNext();
}

std::size_t FanTurns::waiting() {
    const std::lock_guard lock(mutex_);
    std::size_t count = handBacks_.size();
    for (const auto& [uid, queue] : requests_) count += queue.size();
    return count;
}

void FanTurns::release() {
    const std::lock_guard lock(mutex_);
    held_ = false;
    if (holder_ && requests_.contains(*holder_)) users_.push_back(*holder_);
    holder_.reset();
    grantNext();
}

void FanTurns::grantNext() {
    if (!handBacks_.empty()) {
        Waiter* next = handBacks_.front();
        handBacks_.pop_front();
        grant(*next);
        return;
    }
    if (closed_ || shut_ || users_.empty()) return;
    const std::uint32_t uid = users_.front();
    users_.pop_front();
    auto queue = requests_.find(uid);
    Waiter* next = queue->second.front();
    queue->second.pop_front();
    if (queue->second.empty()) requests_.erase(queue);
    holder_ = uid;
    grant(*next);
}

void FanTurns::grant(Waiter& waiter) {
    held_ = true;
    waiter.done = true;
    waiter.granted.notify_one();
}

}  // namespace smcd
