#pragma once

// The entries of a walk's start shared out between up to
// limits::kWalkWorkers threads: the caller's own, and second workers for a
// chunk of the listing with a subdirectory for each, each in a walk of its
// own beside the caller's (DirectoryWalk::besideNow) that enters the
// entries it takes exactly as the caller's walk enters its own. Each entry
// is taken by exactly one worker, from a shared position in the chunk, so
// every worker meets its entries in listing order and the caller can choose
// among the workers' results by position, whatever the timing. The call
// returns once every thread it made is joined, on every way out; a worker
// that cannot be had (its shares are not free at once, or no thread can be
// made) leaves its part to the others, never failing the walk.

#include <array>
#include <atomic>
#include <cstddef>
#include <exception>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "common/limits.h"
#include "walk/directory_walk.h"

namespace smcd {

// At least one subdirectory (or entry whose kind the listing did not say)
// for every worker: a chunk of files alone is over before a thread starts.
inline bool worthSharing(std::span<const DirectoryEntry> chunk) {
    std::size_t directories = 0;
    for (const DirectoryEntry& entry : chunk) {
        const bool maybeDirectory =
            entry.kind == platform::EntryKind::directory || entry.kind == platform::EntryKind::unknown;
        if (maybeDirectory && ++directories == limits::kWalkWorkers) return true;
    }
    return false;
}

// Threads joined on every way out of the scope that holds them.
struct JoinedThreads {
    std::vector<std::thread> threads;
    JoinedThreads() = default;
    JoinedThreads(const JoinedThreads&) = delete;
    JoinedThreads& operator=(const JoinedThreads&) = delete;
    ~JoinedThreads() {
        for (std::thread& thread : threads) thread.join();
    }
};

// The walks of the workers beside the caller's, as many as can be had now.
template <typename LevelState>
std::vector<DirectoryWalk<LevelState>> walksBeside(const DirectoryWalk<LevelState>& walk) {
    std::vector<DirectoryWalk<LevelState>> helpers;
    helpers.reserve(limits::kWalkWorkers - 1);
    while (helpers.size() + 1 < limits::kWalkWorkers) {
        std::optional<DirectoryWalk<LevelState>> helper = walk.besideNow();
        if (!helper) break;
        helpers.push_back(std::move(*helper));
    }
    return helpers;
}

// Calls `workers[i](ownWalk, position, entry)` for every entry of the top
// level of `walk` (which stands at its start), `position` counting entries
// in the listing's order: worker 0 on this thread with `walk`, the others
// on threads of their own. A worker is called with its walk at the start
// and must leave it there; it answers false to stop every worker after the
// entries they are at. An exception of any worker ends the call with it,
// once all are joined.
template <typename LevelState, typename Worker>
void forEachTopEntry(DirectoryWalk<LevelState>& walk, std::array<Worker, limits::kWalkWorkers>& workers) {
    std::vector<DirectoryWalk<LevelState>> helpers;  // taken at the first chunk worth sharing, kept to the end
    bool helpersTried = false;
    std::atomic<bool> stopped{false};
    for (std::size_t base = 0; !stopped.load();) {
        const std::span<const DirectoryEntry> chunk = walk.nextChunk();
        if (chunk.empty()) return;
        std::atomic<std::size_t> next{0};
        const auto work = [&](DirectoryWalk<LevelState>& own, Worker& worker) {
            while (!stopped.load(std::memory_order_relaxed)) {
                const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
                if (index >= chunk.size()) return;
                if (!worker(own, base + index, chunk[index])) stopped.store(true, std::memory_order_relaxed);
            }
        };
        const bool shared = worthSharing(chunk);
        if (shared && !helpersTried) {
            helpersTried = true;
            helpers = walksBeside(walk);
        }
        std::array<std::exception_ptr, limits::kWalkWorkers> failures;
        {
            JoinedThreads joined;
            std::vector<std::thread>& threads = joined.threads;
            threads.reserve(helpers.size());
            for (std::size_t h = 0; shared && h < helpers.size(); ++h) {
                try {
                    threads.emplace_back([&, h] {
                        try {
                            work(helpers[h], workers[h + 1]);
                        } catch (...) {
                            failures[h + 1] = std::current_exception();
                            stopped.store(true);
                        }
                    });
                } catch (const std::system_error&) {
                    break;  // no thread to be had: the ones running take its part
                }
            }
            try {
                work(walk, workers[0]);
            } catch (...) {
                stopped.store(true);  // the others stop at their next entry and are joined on the way out
                throw;
            }
        }
        for (const std::exception_ptr& failure : failures) {
            if (failure) std::rethrow_exception(failure);
        }
        base += chunk.size();
    }
}

}  // namespace smcd
