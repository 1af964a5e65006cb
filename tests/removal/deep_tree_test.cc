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
#include "support/descriptors.h"

namespace smcd::SafeRemoval {
namespace {

class DeepTree : public test::EngineTest {};

// top/d/d/.../d, `levels` directories with "bottom" in the deepest and a
// file "side" beside every hundredth. Holds two descriptors at most.
void buildChain(const std::string& top, int levels) {
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    UniqueFd current(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(current.valid());
    for (int level = 1; level < levels; ++level) {
        if (level % 100 == 0) {
            UniqueFd file(::openat(current.get(), "side", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            ASSERT_TRUE(file.valid());
        }
        ASSERT_EQ(::mkdirat(current.get(), "d", 0755), 0);
        UniqueFd next(::openat(current.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(next.valid());
        current = std::move(next);
    }
    UniqueFd bottom(::openat(current.get(), "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(bottom.valid());
}

std::string levelPath(const std::string& top, int depth) {
    std::string path = top;
    for (int level = 0; level < depth; ++level) path += "/d";
    return path;
}

// With a descriptor limit far below the daemon's default of 1024, the walk
// must not need a descriptor per level, only a window of 32 open levels.
TEST_F(DeepTree, TenThousandLevelsAreRemovedWithinAFixedNumberOfDescriptors) {
    const std::string top = victim("deep") + "/chain";
    buildChain(top, 10000);
    const std::size_t before = test::openDescriptorCount();
    std::size_t most = before;
    removal_hooks::ScopedHook sample(removal_hooks::Point::betweenListingAndUnlink,
                                     [&](const removal_hooks::Site&) { most = std::max(most, test::openDescriptorCount()); });
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit lowered{64, saved.rlim_max};
    ASSERT_LT(before + 32 + 4, lowered.rlim_cur);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    EXPECT_EQ(remove(top, kRoot), std::nullopt);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_FALSE(test::exists(top));
    EXPECT_TRUE(test::exists(std::string(kRoot) + "/deep"));
    EXPECT_LE(most, before + 32 + 4);
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
