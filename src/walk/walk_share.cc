#include "walk/walk_share.h"

#include <algorithm>
#include <utility>

#include "common/descriptor_limit.h"
#include "common/limits.h"

namespace smcd {

std::size_t WalkPool::shareLocked() const {
    return std::max(limits::userShare(capacity_), fewest_);
}

std::size_t WalkPool::usedByLocked(uid_t owner) const {
    const auto held = usedBy_.find(owner);
    return held == usedBy_.end() ? 0 : held->second;
}

std::optional<std::size_t> WalkPool::take(uid_t owner, std::size_t most) {
    std::unique_lock<std::mutex> guard(lock_);
    const auto userFull = [&] { return usedByLocked(owner) + fewest_ > shareLocked(); };
    const auto ready = [&] { return fewest_ > capacity_ || (used_ + fewest_ <= capacity_ && !userFull()); };
    if (!ready() && userFull()) {
        guard.unlock();
        SMCD_LOG_REFUSAL(waits_, "walk of uid %{public}u waits: its share of %{public}s is held (%{public}zu more "
                                 "since the last such line)", owner, what_);
        guard.lock();
    }
    freed_.wait(guard, ready);
    if (fewest_ > capacity_) return std::nullopt;
    return grantLocked(owner, most);
}

std::optional<std::size_t> WalkPool::takeNow(uid_t owner, std::size_t most) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (used_ + 2 * fewest_ > capacity_ || usedByLocked(owner) + 2 * fewest_ > shareLocked()) return std::nullopt;
    return grantLocked(owner, most);
}

// The fewest, which must be free, and half of what is free beyond this
// walk's fewest and the next one's.
std::size_t WalkPool::grantLocked(uid_t owner, std::size_t most) {
    const auto halfBeyond = [&](std::size_t free) { return free > 2 * fewest_ ? (free - 2 * fewest_) / 2 : 0; };
    const std::size_t units = fewest_ + std::min({most > fewest_ ? most - fewest_ : 0, halfBeyond(capacity_ - used_),
                                                  halfBeyond(shareLocked() - usedByLocked(owner))});
    used_ += units;
    usedBy_[owner] += units;
    return units;
}

bool WalkPool::takeMore(uid_t owner, std::size_t units) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (used_ + units > capacity_ || usedByLocked(owner) + units > shareLocked()) return false;
    used_ += units;
    usedBy_[owner] += units;
    return true;
}

void WalkPool::give(uid_t owner, std::size_t units) {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        used_ -= std::min(units, used_);
        if (const auto held = usedBy_.find(owner); held != usedBy_.end()) {
            held->second -= std::min(units, held->second);
            if (held->second == 0) usedBy_.erase(held);
        }
    }
    freed_.notify_all();
}

std::size_t WalkPool::userShare() {
    const std::lock_guard<std::mutex> guard(lock_);
    return shareLocked();
}

void WalkPool::setCapacity(std::size_t capacity) {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        capacity_ = capacity;
    }
    freed_.notify_all();
}

std::size_t WalkPool::inUse() {
    const std::lock_guard<std::mutex> guard(lock_);
    return used_;
}

std::size_t WalkPool::inUseBy(uid_t owner) {
    const std::lock_guard<std::mutex> guard(lock_);
    return usedByLocked(owner);
}

WalkPool& walkDescriptors() {
    static WalkPool pool(limits::shareDescriptors(descriptorLimit()).walks,
                         limits::kWalkFewestOpenLevels + limits::kWalkMomentaryDescriptors, "walk descriptors");
    return pool;
}

WalkPool& walkMemory() {
    static WalkPool pool(limits::kAllWalksMemoryBytes, limits::kWalkFewestMemoryBytes, "walk memory");
    return pool;
}

std::optional<WalkShare> WalkShare::take(WalkPool& pool, uid_t owner, std::size_t most) {
    const std::optional<std::size_t> units = pool.take(owner, most);
    if (!units) return std::nullopt;
    return WalkShare(pool, owner, *units);
}

std::optional<WalkShare> WalkShare::takeNow(WalkPool& pool, uid_t owner, std::size_t most) {
    const std::optional<std::size_t> units = pool.takeNow(owner, most);
    if (!units) return std::nullopt;
    return WalkShare(pool, owner, *units);
}

bool WalkShare::grow(std::size_t more) {
    if (!pool_ || !pool_->takeMore(owner_, more)) return false;
    units_ += more;
    return true;
}

WalkShare::WalkShare(WalkShare&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), owner_(other.owner_), units_(std::exchange(other.units_, 0)) {}

WalkShare& WalkShare::operator=(WalkShare&& other) noexcept {
    if (this != &other) {
        if (pool_) pool_->give(owner_, units_);
        pool_ = std::exchange(other.pool_, nullptr);
        owner_ = other.owner_;
        units_ = std::exchange(other.units_, 0);
    }
    return *this;
}

WalkShare::~WalkShare() {
    if (pool_) pool_->give(owner_, units_);
}

}  // namespace smcd
