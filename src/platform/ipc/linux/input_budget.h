#pragma once

// The input all connections together may hold buffered at once: each takes
// its bytes before it buffers them and gives them back as its frames are
// served or it ends.

#include <atomic>
#include <cstddef>

#include "common/limits.h"

namespace smcd::platform::ipc {

class InputBudget {
public:
    explicit InputBudget(std::size_t capacity) : capacity_(capacity) {}

    // The daemon's, of limits::kBufferedInputBudget.
    static InputBudget& shared() {
        static InputBudget budget(limits::kBufferedInputBudget);
        return budget;
    }

    std::size_t capacity() const { return capacity_; }
    std::size_t inUse() const { return used_.load(std::memory_order_relaxed); }

    // False, taking nothing, when the bytes would not fit.
    bool take(std::size_t bytes) {
        std::size_t used = used_.load(std::memory_order_relaxed);
        do {
            if (bytes > capacity_ - used) return false;
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        return true;
    }
    void giveBack(std::size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

private:
    const std::size_t capacity_;
    std::atomic<std::size_t> used_{0};
};

}  // namespace smcd::platform::ipc
