#include "platform/ipc/memory_budget.h"

#include <algorithm>
#include <utility>

namespace smcd::platform::ipc {

Expected<void, MemoryBudget::Refusal> MemoryBudget::take(std::uint32_t uid, std::size_t bytes) {
    const std::lock_guard guard(lock_);
    const auto found = usedBy_.find(uid);
    const std::size_t mine = found == usedBy_.end() ? 0 : found->second;
    if (bytes > perUser_ - std::min(mine, perUser_)) return unexpected(Refusal::userAtShare);
    if (bytes > capacity_ - used_) return unexpected(Refusal::budgetFull);
    if (bytes == 0) return {};
    used_ += bytes;
    usedBy_[uid] = mine + bytes;
    return {};
}

void MemoryBudget::giveBack(std::uint32_t uid, std::size_t bytes) {
    const std::lock_guard guard(lock_);
    const auto found = usedBy_.find(uid);
    if (found == usedBy_.end()) return;
    bytes = std::min(bytes, found->second);
    used_ -= bytes;
    if ((found->second -= bytes) == 0) usedBy_.erase(found);
}

std::size_t MemoryBudget::inUse() const {
    const std::lock_guard guard(lock_);
    return used_;
}

std::size_t MemoryBudget::heldBy(std::uint32_t uid) const {
    const std::lock_guard guard(lock_);
    const auto found = usedBy_.find(uid);
    return found == usedBy_.end() ? 0 : found->second;
}

MemoryHold::MemoryHold(MemoryHold&& other) noexcept
    : budget_(other.budget_), uid_(other.uid_), held_(std::exchange(other.held_, 0)) {}

Expected<void, MemoryBudget::Refusal> MemoryHold::growTo(std::size_t bytes) {
    if (bytes <= held_) return {};
    auto taken = budget_->take(uid_, bytes - held_);
    if (taken) held_ = bytes;
    return taken;
}

void MemoryHold::shrinkTo(std::size_t bytes) {
    if (bytes >= held_) return;
    budget_->giveBack(uid_, held_ - bytes);
    held_ = bytes;
}

}  // namespace smcd::platform::ipc
