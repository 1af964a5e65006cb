#pragma once

// The daemon-wide pools every walk draws from: descriptors (the walks' share
// of the soft RLIMIT_NOFILE) and memory for a walk's listed names and the
// levels it stands in. A walk takes its share of each when it starts and
// holds it to its end, so a pool never runs dry in the middle of a walk: a
// walk starts smaller when the pool is short, and waits when not even its
// fewest units are free. One user holds at most a quarter of a pool
// (limits.h, "Walks"), so that the walks of any one user leave room for
// three others; past that share a user's next walk waits, and says so in the
// log.

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/log/refusal_report.h"

namespace smcd {

class WalkPool {
public:
    // `fewest`: the least one walk works with; `what` names the pool in the log.
    WalkPool(std::size_t capacity, std::size_t fewest, const char* what)
        : capacity_(capacity), fewest_(fewest), what_(what), waits_("walks that waited past their user's share") {}
    WalkPool(const WalkPool&) = delete;
    WalkPool& operator=(const WalkPool&) = delete;

    // Waits until the walk's fewest units are free, in the pool and in
    // `owner`'s share of it, then takes them and up to half of what both
    // have free beyond them and the next walk's fewest, `most` in all at
    // most: the next walk to start, this user's or another's, still finds
    // its fewest. Nothing when the pool could never hold the fewest.
    std::optional<std::size_t> take(uid_t owner, std::size_t most);
    // As take, for a second worker of a walk under way: only if the fewest
    // units are free now and, after them, the next walk's fewest too, in
    // the pool and in `owner`'s share; nothing otherwise, never a wait. A
    // second worker is never the reason another walk waits.
    std::optional<std::size_t> takeNow(uid_t owner, std::size_t most);
    // `units` more for a walk of `owner` under way, only if they are free now:
    // a walk in the middle of its tree never waits for another, which could
    // be waiting for it.
    bool takeMore(uid_t owner, std::size_t units);
    void give(uid_t owner, std::size_t units);

    // What one user may hold at once: a quarter of the pool, and never less
    // than one walk's fewest, so that a small pool slows walks down rather
    // than refusing them.
    std::size_t userShare();

    // The daemon sizes its pools once; tests size them for a lowered limit
    // and watch what is taken.
    void setCapacity(std::size_t capacity);
    std::size_t inUse();
    std::size_t inUseBy(uid_t owner);

private:
    std::size_t shareLocked() const;
    std::size_t usedByLocked(uid_t owner) const;
    std::size_t grantLocked(uid_t owner, std::size_t most);

    std::mutex lock_;
    std::condition_variable freed_;
    std::size_t capacity_;
    const std::size_t fewest_;
    const char* const what_;
    std::size_t used_ = 0;
    std::unordered_map<uid_t, std::size_t> usedBy_;  // users holding units, and how many
    platform::RefusalReport waits_;
};

// Sized on first use from the soft RLIMIT_NOFILE (limits::shareDescriptors).
WalkPool& walkDescriptors();
// Sized by limits::kAllWalksMemoryBytes.
WalkPool& walkMemory();

// Units of one pool held by one walk of one user, given back on every way out.
class WalkShare {
public:
    static std::optional<WalkShare> take(WalkPool& pool, uid_t owner, std::size_t most);
    // WalkPool::takeNow.
    static std::optional<WalkShare> takeNow(WalkPool& pool, uid_t owner, std::size_t most);
    WalkShare(WalkShare&& other) noexcept;
    WalkShare& operator=(WalkShare&& other) noexcept;
    WalkShare(const WalkShare&) = delete;
    WalkShare& operator=(const WalkShare&) = delete;
    ~WalkShare();

    std::size_t units() const { return units_; }
    // `more` units now, or false (WalkPool::takeMore).
    bool grow(std::size_t more);

private:
    WalkShare(WalkPool& pool, uid_t owner, std::size_t units) : pool_(&pool), owner_(owner), units_(units) {}
    WalkPool* pool_ = nullptr;
    uid_t owner_ = 0;
    std::size_t units_ = 0;
};

}  // namespace smcd
