// The walk below removal and measurement: its pools, a listing that fails
// part-way, and a walk held to exactly its share of descriptors.

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/limits.h"
#include "platform/listing/linux/directory_reads.h"
#include "support/descriptors.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "walk/directory_walk.h"

namespace smcd {
namespace {

using namespace std::chrono_literals;

constexpr uid_t kAnn = 501, kBob = 502;

UniqueFd openDirectory(const std::string& path) { return UniqueFd(::open(path.c_str(), kNoFollowDirectoryFlags)); }

// One user's walks stop at a quarter of the pool and wait there, saying so
// once; another user's walk starts at once; each walk leaves the next one at
// least its fewest, and a walk's second worker leaves it that or takes
// nothing.
TEST(WalkPool, OneUserHoldsAQuarterAndWaitsWhileOthersStart) {
    platform::ScopedLogCapture log;
    WalkPool pool(400, 10, "test units");  // 100 a user
    std::vector<WalkShare> anns;
    for (std::size_t expected : {40, 30, 15, 10}) {  // 10 and half of what is free beyond two walks' fewest
        EXPECT_EQ(WalkShare::takeNow(pool, kAnn, 40).has_value(), expected != 10) << "the next walk needs 10";
        anns.push_back(*WalkShare::take(pool, kAnn, 40));
        ASSERT_EQ(anns.back().units(), expected) << "the next take would wait for ever";
    }
    auto waiting = std::async(std::launch::async, [&] { return WalkShare::take(pool, kAnn, 40)->units(); });
    // Whatever fails, the waiting walk is let go before the test ends.
    const std::unique_ptr<WalkPool, void (*)(WalkPool*)> release(&pool, [](WalkPool* p) { p->setCapacity(4000); });
    EXPECT_EQ(waiting.wait_for(200ms), std::future_status::timeout);
    EXPECT_EQ(WalkShare::take(pool, kBob, 40)->units(), 40u);
    EXPECT_EQ(WalkShare::takeNow(pool, kBob, 40)->units(), 40u);
    EXPECT_FALSE(pool.takeMore(kAnn, 9)) << "past the user's share, a walk under way gets nothing more";
    EXPECT_TRUE(pool.takeMore(kBob, 9));
    pool.give(kBob, 9);
    anns.pop_back();
    EXPECT_EQ(waiting.get(), 10u);
    EXPECT_EQ(log.lines(), (std::vector<platform::CapturedLine>{
                               {platform::LogLevel::error,
                                "walk of uid 501 waits: its share of test units is held (0 more since the last such "
                                "line)"}}));
    anns.clear();
    EXPECT_EQ(pool.inUse(), 0u);
}

// A directory of `count` empty files with long names, so that a few hundred
// fill several chunks of a walk at its fewest memory.
void fillDirectory(const std::string& directory, int count) {
    for (int i = 0; i < count; ++i) test::writeFile(directory + "/" + std::string(200, 'x') + std::to_string(i), "");
}

int reads = 0;
ssize_t failingSecondRead(int directory, void* buffer, std::size_t size) {
    if (++reads == 2) {
        errno = EIO;
        return -1;
    }
    return ::getdents64(directory, buffer, size);
}
int listFailingSecondRead(int directory, platform::ListingDetail detail, platform::ListingCursor& cursor,
                          std::size_t room, std::vector<platform::ListedEntry>& into, std::size_t& cost) {
    return platform::linux_side::listEntriesReading(failingSecondRead, directory, detail, cursor, room, into, cost);
}

// A walk at its fewest memory reads a large directory in chunks; the read
// of the second chunk fails, as a failing device's would: the walk says so,
// and never takes the chunk it got for the whole directory.
TEST(WalkListing, AReadThatFailsPartWayIsTheWalksErrorNeverTheDirectorysEnd) {
    test::NoDescriptorLeak noLeak;
    test::TempDir tree;
    fillDirectory(tree.path(), 300);
    walkMemory().setCapacity(limits::kWalkFewestMemoryBytes);
    reads = 0;
    {
        auto walk = DirectoryWalk<>::begin(openDirectory(tree.path()), kAnn, platform::ListingDetail::names,
                                           listFailingSecondRead);
        ASSERT_TRUE(walk);
        int handedOut = 0;
        while (walk->nextEntry()) ++handedOut;
        EXPECT_EQ(walk->topListingError(), EIO);
        EXPECT_GT(handedOut, 0);
        EXPECT_LT(handedOut, 300);
    }
    walkMemory().setCapacity(limits::kAllWalksMemoryBytes);
}

// The soft descriptor limit under which exactly `free` more descriptors can be opened.
rlim_t limitLeaving(std::size_t free) {
    for (rlim_t limit = 0;; ++limit) {
        if (::fcntl(static_cast<int>(limit), F_GETFD) != -1) continue;
        if (free == 0) return limit;
        --free;
    }
}

// Down a chain and back up; the depth reached.
std::size_t walkChain(DirectoryWalk<>& walk) {
    std::size_t deepest = 0;
    while (!walk.empty()) {
        deepest = std::max(deepest, walk.depth());
        if (const auto entry = walk.nextEntry()) {
            EXPECT_TRUE(walk.enter(entry->name));
        } else {
            EXPECT_TRUE(walk.leave().reached);
        }
    }
    return deepest;
}

// A walk whose share is its fewest keeps that many descriptors open at most,
// the one it needs for a moment included: with the process able to open no
// more than that, it lists, descends and comes back up with exactly the
// opens it makes when descriptors are plenty.
TEST(WalkDescriptors, AWalkAtExactlyItsShareListsAndDescendsWithinIt) {
    test::NoDescriptorLeak noLeak;
    test::TempDir tree;
    constexpr std::size_t kLevels = 40;
    std::string level = tree.path();
    for (std::size_t i = 1; i < kLevels; ++i) ASSERT_EQ(::mkdir((level += "/d").c_str(), 0755), 0);
    constexpr std::size_t kShare = limits::kWalkFewestOpenLevels + limits::kWalkMomentaryDescriptors;
    walkDescriptors().setCapacity(kShare);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<std::uint64_t> opens;
    for (const bool tight : {true, false}) {
        UniqueFd start = openDirectory(tree.path());
        const rlimit limit{tight ? limitLeaving(kShare - 1) : saved.rlim_cur, saved.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        const std::uint64_t before = directoryWalkOpens();
        auto walk = DirectoryWalk<>::begin(std::move(start), kAnn);
        ASSERT_TRUE(walk);
        EXPECT_EQ(walkDescriptors().inUse(), kShare);
        EXPECT_EQ(walkChain(*walk), kLevels);
        opens.push_back(directoryWalkOpens() - before);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    }
    walkDescriptors().setCapacity(limits::shareDescriptors(saved.rlim_cur).walks);
    EXPECT_EQ(opens[0], opens[1]) << "the tight run ran out of descriptors and had to open levels again";
}

}  // namespace
}  // namespace smcd
