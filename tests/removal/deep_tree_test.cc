// Trees far deeper than the descriptor limit: the walk must neither run out
// of stack nor of descriptors, and the levels it cannot keep open must be
// found again only where they were.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/unique_fd.h"
#include "removal/engine_fixture.h"
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
// need a descriptor per level, only a window of open levels.
constexpr rlim_t kLoweredLimit = 64;
constexpr std::size_t kMostOpenLevels = 32;

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
        ASSERT_LT(before + kMostOpenLevels + 4, kLoweredLimit);
        EXPECT_EQ(remove(top, kRoot), std::nullopt);
    }
    EXPECT_FALSE(test::exists(top));
    EXPECT_TRUE(test::exists(std::string(kRoot) + "/deep"));
    EXPECT_LE(most, before + kMostOpenLevels + 4);
}

// A level far above the window gave up its descriptor; while the walk is at
// the bottom it is moved out of the tree and a copy of everything below it
// takes its place, so every name the walk looks for on its way up is there
// again. Only the device and inode seen on the way down tell the copy apart:
// the walk must stop at the copy rather than empty and remove it as its own.
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
        removal_hooks::ScopedHook hook(removal_hooks::Point::betweenListingAndUnlink, [&](const removal_hooks::Site& site) {
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
