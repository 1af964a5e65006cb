#include "walk/walk_share.h"

#include <algorithm>
#include <utility>

#include "common/descriptor_limit.h"
#include "common/limits.h"

namespace smcd {

std::optional<std::size_t> WalkPool::take(std::size_t fewest, std::size_t most) {
    std::unique_lock<std::mutex> guard(lock_);
    if (fewest > capacity_) return std::nullopt;
    freed_.wait(guard, [&] { return used_ + fewest <= capacity_ || fewest > capacity_; });
    if (fewest > capacity_) return std::nullopt;
    const std::size_t beyond = (capacity_ - used_ - fewest) / 2;
    const std::size_t units = fewest + std::min(most > fewest ? most - fewest : 0, beyond);
    used_ += units;
    return units;
}

void WalkPool::give(std::size_t units) {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        used_ -= std::min(units, used_);
    }
    freed_.notify_all();
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

WalkPool& walkDescriptors() {
    static WalkPool pool(limits::shareDescriptors(descriptorLimit()).walks);
    return pool;
}

WalkPool& walkListingMemory() {
    static WalkPool pool(limits::kAllWalksListingBytes);
    return pool;
}

std::optional<WalkShare> WalkShare::take(WalkPool& pool, std::size_t fewest, std::size_t most) {
    const std::optional<std::size_t> units = pool.take(fewest, most);
    if (!units) return std::nullopt;
    return WalkShare(pool, *units);
}

WalkShare::WalkShare(WalkShare&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), units_(std::exchange(other.units_, 0)) {}

WalkShare& WalkShare::operator=(WalkShare&& other) noexcept {
    if (this != &other) {
        if (pool_) pool_->give(units_);
        pool_ = std::exchange(other.pool_, nullptr);
        units_ = std::exchange(other.units_, 0);
    }
    return *this;
}

WalkShare::~WalkShare() {
    if (pool_) pool_->give(units_);
}

}  // namespace smcd
