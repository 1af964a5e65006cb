// Trees far deeper than the descriptor limit: the walk must neither run out
// of stack nor of descriptors, and the levels it cannot keep open must be
// found again only where they were.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include "common/directory_walk.h"
#include "common/unique_fd.h"
#include "removal/engine_fixture.h"
#include "removal/measurement.h"
#include "removal/safe_removal.h"
#include "removal/test_hooks.h"
#include "support/deep_chain.h"
#include "support/descriptors.h"

namespace smcd::SafeRemoval {
namespace {

constexpr int kDeepLevels = 10000;

// Sets the descriptor limit for one scope and puts the old one back.
struct DescriptorLimit {
    explicit DescriptorLimit(rlim_t soft) {
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const rlimit wanted{soft, std::max(saved.rlim_max, soft)};  // root may raise the hard limit
        ok = ::setrlimit(RLIMIT_NOFILE, &wanted) == 0;
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    rlimit saved{};
    bool ok = false;
};

using test::buildChain;

class DeepTree : public test::EngineTest {};

// Far below what the daemon's default limit of 1024 allows: the walk must not
// need a descriptor per level.
constexpr rlim_t kLoweredLimit = 64;

std::string levelPath(const std::string& top, int depth) {
    std::string path = top;
    for (int level = 0; level < depth; ++level) path += "/d";
    return path;
}

TEST_F(DeepTree, TenThousandLevelsAreRemovedWithinAFixedNumberOfDescriptors) {
    const std::string top = victim("deep") + "/chain";
    buildChain(top, kDeepLevels);
    const std::size_t before = test::openDescriptorCount();
    std::size_t most = before;
    removal_hooks::ScopedHook sample(removal_hooks::Point::betweenListingAndUnlink,
                                     [&](const removal_hooks::Site&) { most = std::max(most, test::openDescriptorCount()); });
    {
        DescriptorLimit limit(kLoweredLimit);
        ASSERT_TRUE(limit.ok);
        ASSERT_LT(before + DirectoryWalk::kOpenLevelBudget + 4, kLoweredLimit);
        EXPECT_EQ(remove(top, kRoot), std::nullopt);
    }
    EXPECT_FALSE(test::exists(top));
    EXPECT_TRUE(test::exists(std::string(kRoot) + "/deep"));
    EXPECT_LE(most, before + DirectoryWalk::kOpenLevelBudget + 4);
}

// While one request walks a chain far deeper than the descriptor limit, the
// same process still has descriptors for other requests' removals and
// measurements.
TEST_F(DeepTree, OtherRequestsSucceedWhileADeepRemovalRuns) {
    const std::string top = victim("deep") + "/chain";
    buildChain(top, kDeepLevels);
    const std::string other = victim("other");
    DescriptorLimit limit(kLoweredLimit);
    ASSERT_TRUE(limit.ok);
    std::atomic<bool> done = false;
    Expected<void, Failure> deep = unexpected(Failure::outsideRoot());
    std::thread walker([&] {
        deep = remove(top, kRoot);
        done = true;
    });
    int rounds = 0;
    while (!done) {
        planted.file(other + "/tree/f", std::string(4096, 'x'));
        EXPECT_EQ(PrivilegedRemoval::measureTree(other).second, 1);
        EXPECT_EQ(remove(other + "/tree", kRoot), std::nullopt);
        ++rounds;
    }
    walker.join();
    EXPECT_EQ(deep, std::nullopt);
    EXPECT_GT(rounds, 0);
    EXPECT_FALSE(test::exists(top));
}

// A level far above the window gave up its descriptor; it is moved out of
// the tree (and something else may stand in its place) while the walk is at
// the bottom. The walk must find the change on its way up and must not go
// back into the moved directory, even though its own "..", device and inode
// would still lead there.
TEST_F(DeepTree, ALevelMovedAwayAfterGivingUpItsDescriptorIsNeverEnteredAgain) {
    constexpr int kLevels = 600;
    constexpr int kMovedDepth = 3;
    const std::string parking = victim("parking");
    for (const char* replacement : {"link", "directory", "nothing"}) {
        SCOPED_TRACE(replacement);
        const std::string top = victim("deep") + "/chain";
        buildChain(top, kLevels);
        const std::string moved = levelPath(top, kMovedDepth);
        bool fired = false;
        {
            removal_hooks::ScopedHook hook(removal_hooks::Point::betweenListingAndUnlink,
                                           [&](const removal_hooks::Site& site) {
                                               if (site.name != "bottom" || fired) return;
                                               fired = true;
                                               ASSERT_EQ(::rename(moved.c_str(), (parking + "/moved").c_str()), 0);
                                               if (std::string(replacement) == "link") {
                                                   ASSERT_EQ(::symlink(canary("tree").c_str(), moved.c_str()), 0);
                                               } else if (std::string(replacement) == "directory") {
                                                   ASSERT_EQ(::mkdir(moved.c_str(), 0755), 0);
                                               }
                                           });
            EXPECT_EQ(remove(top, kRoot), Failure::escapedRoot("d"));
        }
        EXPECT_TRUE(fired);
        // What was still open when it moved may be emptied (those are the
        // objects the walk holds), but the moved level's child had given up
        // its descriptor: reaching it again through ".." would have removed it.
        EXPECT_TRUE(test::exists(parking + "/moved/d"));
        EXPECT_TRUE(test::exists(top));
        // Cleaning up needs the engine itself: the paths are too long for anything else.
        EXPECT_EQ(remove(parking + "/moved", kRoot), std::nullopt);
        EXPECT_EQ(remove(top, kRoot), std::nullopt);
    }
}

// The same move, but what takes the level's place is a copy of everything
// below it, so every name the walk looks for on its way up is there again.
// Only the device and inode seen on the way down tell the copy apart: the
// walk must stop at the copy rather than empty and remove it as its own.
TEST_F(DeepTree, ACopyPutInPlaceOfAMovedLevelIsNeverTakenForIt) {
    constexpr int kLevels = 100;
    constexpr int kMovedDepth = 3;
    const std::string top = victim("deep") + "/chain";
    buildChain(top, kLevels);
    const std::string copy = victim("copy") + "/chain";
    buildChain(copy, kLevels - kMovedDepth);
    planted.file(copy + "/sentinel", "kept");
    const std::string moved = levelPath(top, kMovedDepth);
    const std::string parked = victim("parking") + "/moved";
    bool fired = false;
    {
        removal_hooks::ScopedHook hook(removal_hooks::Point::betweenListingAndUnlink,
                                       [&](const removal_hooks::Site& site) {
                                           if (site.name != "bottom" || fired) return;
                                           fired = true;
                                           ASSERT_EQ(::rename(moved.c_str(), parked.c_str()), 0);
                                           ASSERT_EQ(::rename(copy.c_str(), moved.c_str()), 0);
                                       });
        EXPECT_EQ(remove(top, kRoot), Failure::escapedRoot("d"));
    }
    EXPECT_TRUE(fired);
    EXPECT_TRUE(test::exists(moved + "/sentinel"));
    EXPECT_TRUE(test::exists(levelPath(moved, kLevels - kMovedDepth - 1) + "/bottom"));
    EXPECT_TRUE(test::exists(parked + "/d"));
    EXPECT_EQ(remove(parked, kRoot), std::nullopt);
    EXPECT_EQ(remove(top, kRoot), std::nullopt);
}

}  // namespace
}  // namespace smcd::SafeRemoval
