#pragma once

// The daemon-wide pools every walk draws from: descriptors (the walks' share
// of the soft RLIMIT_NOFILE) and memory for listed names. A walk takes its
// share when it starts and holds it to its end, so a pool never runs dry in
// the middle of a walk: a walk starts smaller when the pool is short, and
// waits when not even its fewest units are free.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>

namespace smcd {

class WalkPool {
public:
    explicit WalkPool(std::size_t capacity) : capacity_(capacity) {}
    WalkPool(const WalkPool&) = delete;
    WalkPool& operator=(const WalkPool&) = delete;

    // Waits until `fewest` units are free, then takes them and up to half of
    // what is free beyond them, `most` in all at most: the next walk to start
    // still finds some. Nothing when the pool could never hold `fewest`.
    std::optional<std::size_t> take(std::size_t fewest, std::size_t most);
    void give(std::size_t units);

    // The daemon sizes its pools once; tests size them for a lowered limit
    // and watch what is taken.
    void setCapacity(std::size_t capacity);
    std::size_t inUse();

private:
    std::mutex lock_;
    std::condition_variable freed_;
    std::size_t capacity_;
    std::size_t used_ = 0;
};

// Sized on first use from the soft RLIMIT_NOFILE (limits::shareDescriptors).
WalkPool& walkDescriptors();
// Sized by limits::kAllWalksListingBytes.
WalkPool& walkListingMemory();

// Units of one pool held by one walk, given back on every way out.
class WalkShare {
public:
    static std::optional<WalkShare> take(WalkPool& pool, std::size_t fewest, std::size_t most);
    WalkShare(WalkShare&& other) noexcept;
    WalkShare& operator=(WalkShare&& other) noexcept;
    WalkShare(const WalkShare&) = delete;
    WalkShare& operator=(const WalkShare&) = delete;
    ~WalkShare();

    std::size_t units() const { return units_; }

private:
    WalkShare(WalkPool& pool, std::size_t units) : pool_(&pool), units_(units) {}
    WalkPool* pool_ = nullptr;
    std::size_t units_ = 0;
};

}  // namespace smcd
