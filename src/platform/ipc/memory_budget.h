#pragma once

// A daemon-wide pool of memory that connections draw on (buffered input,
// replies), with a share per effective uid: one user holding all of its share
// leaves the rest to the others, whatever it sends or leaves unread. Past the
// share or the pool, what would pass it is refused, never waited for.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "common/expected.h"

namespace smcd::platform::ipc {

class MemoryBudget {
public:
    enum class Refusal { userAtShare, budgetFull };

    MemoryBudget(std::size_t capacity, std::size_t perUser) : capacity_(capacity), perUser_(perUser) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Takes `bytes` for `uid`, or nothing when they would pass its share or the pool.
    Expected<void, Refusal> take(std::uint32_t uid, std::size_t bytes);
    void giveBack(std::uint32_t uid, std::size_t bytes);

    std::size_t capacity() const { return capacity_; }
    std::size_t perUser() const { return perUser_; }
    std::size_t inUse() const;
    std::size_t heldBy(std::uint32_t uid) const;

private:
    const std::size_t capacity_;
    const std::size_t perUser_;
    mutable std::mutex lock_;
    std::size_t used_ = 0;
    std::unordered_map<std::uint32_t, std::size_t> usedBy_;
};

// What one holder (a connection's input, one reply) holds of a budget for
// its uid, given back whole on every way out.
class MemoryHold {
public:
    MemoryHold(MemoryBudget& budget, std::uint32_t uid) : budget_(&budget), uid_(uid) {}
    MemoryHold(MemoryHold&& other) noexcept;
    MemoryHold& operator=(MemoryHold&&) = delete;
    MemoryHold(const MemoryHold&) = delete;
    ~MemoryHold() { shrinkTo(0); }

    // Holds at least `bytes`, taking the difference; on refusal it holds what it held.
    Expected<void, MemoryBudget::Refusal> growTo(std::size_t bytes);
    void shrinkTo(std::size_t bytes);
    std::size_t held() const { return held_; }
    std::uint32_t uid() const { return uid_; }
    const MemoryBudget& budget() const { return *budget_; }

private:
    MemoryBudget* budget_;
    std::uint32_t uid_;
    std::size_t held_ = 0;
};

}  // namespace smcd::platform::ipc
