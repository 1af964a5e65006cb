// Trees far deeper than the descriptor limit: the walk must neither run out
// of stack nor of descriptors, and the levels it cannot keep open must be
// found again only where they were.

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "walk/directory_walk.h"
#include "common/limits.h"
#include "common/unique_fd.h"
#include "removal/measurement.h"
#include "removal/engine_fixture.h"
#include "removal/safe_removal.h"
#include "removal/test_hooks.h"
#include "support/descriptors.h"
#include "support/tree.h"

namespace smcd::removal {
namespace {

// The walk pools size themselves on first use: from the limit the process
// runs with, not from a limit a case lowers for a while.
class DeepTree : public test::EngineTest {
protected:
    void SetUp() override {
        test::EngineTest::SetUp();
        walkDescriptors();
    }
};

using Totals = std::pair<std::int64_t, std::int64_t>;

// top/d/d/.../d, `levels` directories with "bottom" in the deepest and a
// file "side" beside every hundredth. Holds two descriptors at most.
void buildChain(const std::string& top, int levels, const std::string& name = "d") {
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    UniqueFd current(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(current.valid());
    for (int level = 1; level < levels; ++level) {
        if (level % 100 == 0) {
            UniqueFd file(::openat(current.get(), "side", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            ASSERT_TRUE(file.valid());
        }
        ASSERT_EQ(::mkdirat(current.get(), name.c_str(), 0755), 0);
        UniqueFd next(::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
    removal::hooks::ScopedHook sample(removal::hooks::Point::betweenListingAndUnlink,
                                     [&](const removal::hooks::Site&) { most = std::max(most, test::openDescriptorCount()); });
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
        removal::hooks::ScopedHook hook(removal::hooks::Point::betweenListingAndUnlink, [&](const removal::hooks::Site& site) {
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

// top/c/c/.../c, `depth` levels, each holding first a side branch
// s/s/.../s `side` levels deep, then the next level of the chain.
void buildComb(const std::string& top, int depth, int side) {
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    UniqueFd level(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < depth && level; ++i) {
        // tmpfs lists the newest entry first: the side branch is made last.
        ASSERT_EQ(::mkdirat(level.get(), "c", 0755), 0);
        ASSERT_EQ(::mkdirat(level.get(), "s", 0755), 0);
        UniqueFd branch(::openat(level.get(), "s", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int j = 1; j < side && branch; ++j) {
            ASSERT_EQ(::mkdirat(branch.get(), "s", 0755), 0);
            branch = UniqueFd(::openat(branch.get(), "s", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        level = UniqueFd(::openat(level.get(), "c", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    ASSERT_TRUE(level.valid());
    const auto first = std::filesystem::directory_iterator(top)->path().filename();
    ASSERT_EQ(first, "s") << "the side branch must be listed before the chain";
}

// A side branch deeper than the open levels at every level of a chain makes
// the walk find chain levels again all the way down; the opens that costs
// must grow with the tree, not with the square of its depth.
TEST_F(DeepTree, OpensOnACombGrowInProportionToItsSize) {
    constexpr int kSide = 34, kDepth = 120;
    std::vector<double> measuring, removing;
    for (const int depth : {kDepth, 2 * kDepth}) {
        const std::string top = victim("comb") + "/c";
        buildComb(top, depth, kSide);
        std::uint64_t before = directoryWalkOpens();
        EXPECT_EQ(removal::measureTree(top, 0), Totals(0, 0));
        measuring.push_back(static_cast<double>(directoryWalkOpens() - before));
        before = directoryWalkOpens();
        EXPECT_EQ(remove(top, kRoot), std::nullopt);
        removing.push_back(static_cast<double>(directoryWalkOpens() - before));
    }
    // Twice the comb: about twice the opens (the square would be four times).
    for (const auto& opens : {measuring, removing}) {
        SCOPED_TRACE(std::to_string(opens[0]) + " then " + std::to_string(opens[1]) + " opens");
        EXPECT_LT(opens[1], 2.5 * opens[0]);
        EXPECT_LT(opens[1], 3.0 * 2 * kDepth * (kSide + 1));
    }
}

// The process runs out of descriptors in the middle of a walk at full
// width. When a dozen are left, the walk gives up the levels it can spare
// and goes on: the tree is measured and removed whole. When none is left
// (the limit drops below every descriptor number, near the start for the
// measurement, deep on the way back up for the removal), the levels the
// walk can no longer open or find again are the system's refusal,
// denied(EMFILE), never a change; a measurement that cannot read all of its
// tree reports nothing rather than a part.
TEST_F(DeepTree, OutOfDescriptorsGivesUpWhatItCanSpareAndIsDeniedNeverAChangeWhenThatIsNotEnough) {
    const std::string top = victim("deep") + "/chain";
    buildChain(top, 2000);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit dozenLeft{test::openDescriptorCount() + 12, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &dozenLeft), 0);
    EXPECT_EQ(removal::measureTree(top, 0), Totals(0, 20));
    const std::string copy = victim("copy") + "/chain";
    buildChain(copy, 2000);
    EXPECT_EQ(remove(copy, kRoot), std::nullopt);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_FALSE(test::exists(copy));
    const rlimit exhausted{STDERR_FILENO + 1, saved.rlim_max};
    const auto exhaustAt = [&](removal::hooks::Point point, auto when) {
        return removal::hooks::ScopedHook(point, [&, when](const removal::hooks::Site& site) {
            if (when(site)) {
                ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &exhausted), 0);
            }
        });
    };
    {
        auto hook = exhaustAt(removal::hooks::Point::betweenComponents,
                              [](const removal::hooks::Site& site) { return site.index == 1; });
        EXPECT_EQ(removal::measureTree(top, 0), unexpected(EMFILE));
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    {
        auto hook = exhaustAt(removal::hooks::Point::betweenListingAndUnlink,
                              [](const removal::hooks::Site& site) { return site.name == "bottom"; });
        EXPECT_EQ(remove(top, kRoot), Failure::denied(EMFILE));
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(test::exists(top + "/d"));
    EXPECT_EQ(remove(top, kRoot), std::nullopt);
}

// The names of the levels a walk stands in are memory it holds: a chain of
// the longest names deeper than its user's share of walk memory is refused
// as exhaustion (ENOMEM), measured as nothing, never a part, and not
// removed; with the daemon's share the same chain is measured and goes.
TEST_F(DeepTree, LevelNamesBeyondTheUsersMemoryShareAreExhaustionNeverAPart) {
    const std::string name(NAME_MAX, 'n');
    const std::string top = victim("long") + "/chain";
    buildChain(top, 1000, name);
    walkMemory().setCapacity(1 << 20);  // a quarter of a megabyte a user: a few hundred such levels
    EXPECT_EQ(removal::measureTree(top, 0), unexpected(ENOMEM));
    walkMemory().setCapacity(limits::kAllWalksMemoryBytes);
    EXPECT_EQ(removal::measureTree(top, 0), Totals(0, 10));
    walkMemory().setCapacity(1 << 20);
    EXPECT_EQ(remove(top, kRoot), Failure::denied(ENOMEM));
    EXPECT_EQ(walkMemory().inUse(), 0u);
    walkMemory().setCapacity(limits::kAllWalksMemoryBytes);
    EXPECT_TRUE(test::exists(top + "/" + name));
    EXPECT_EQ(remove(top, kRoot), std::nullopt);
}

// A directory far larger than a chunk of a walk at its fewest memory: the
// listing resumes where each chunk ended, so every entry is counted once
// and the directory goes whole. Its subdirectories are no second worker's:
// none can have its share of memory, and the walk goes on alone.
TEST_F(DeepTree, ADirectoryOfManyChunksIsCountedOnceAndRemovedWhole) {
    const std::string wide = victim("wide");
    for (int i = 0; i < 2000; ++i) planted.file(wide + "/f" + std::to_string(i), std::string(i % 5000, 'x'));
    for (int i = 0; i < 4; ++i) planted.file(wide + "/d" + std::to_string(i) + "/f", "x");
    walkMemory().setCapacity(limits::kWalkFewestMemoryBytes);
    EXPECT_EQ(removal::measureTree(wide, 0), test::findTotals(wide));
    EXPECT_EQ(remove(wide, kRoot), std::nullopt);
    walkMemory().setCapacity(limits::kAllWalksMemoryBytes);
    EXPECT_FALSE(test::exists(wide));
}

// A level far above the open ones is replaced, while the walk is at the
// bottom, by a look-alike on a fresh file system: two fresh tmpfs mounts
// number their inodes alike, so the same chain built on each has the same
// inode at every level. Only the device and mount tell it apart.
TEST_F(DeepTree, ALookAlikeOnAnotherFileSystemIsNeverTakenForALevel) {
    constexpr int kLevels = 100;
    const std::string look = victim("look");
    const test::ScopedMount first(look + "/first"), second(look + "/second");
    buildChain(first.at + "/chain", kLevels);
    buildChain(second.at + "/chain", kLevels);
    const std::string replaced = levelPath(first.at + "/chain", 3), alike = levelPath(second.at + "/chain", 3);
    const auto alikeBefore = test::snapshot(second.at);
    bool mounted = false;
    {
        removal::hooks::ScopedHook hook(removal::hooks::Point::betweenListingAndUnlink, [&](const removal::hooks::Site& site) {
            if (site.name != "bottom" || mounted) return;
            ASSERT_EQ(::rename(replaced.c_str(), (first.at + "/parked").c_str()), 0);
            ASSERT_EQ(::mkdir(replaced.c_str(), 0755), 0);
            ASSERT_EQ(::mount(alike.c_str(), replaced.c_str(), nullptr, MS_BIND, nullptr), 0);
            mounted = true;
        });
        EXPECT_EQ(remove(first.at + "/chain", kRoot), Failure::escapedRoot("d"));
    }
    ASSERT_TRUE(mounted);
    ::umount2(replaced.c_str(), MNT_DETACH);
    EXPECT_EQ(test::snapshot(second.at), alikeBefore);
    EXPECT_TRUE(test::exists(first.at + "/parked/d"));
}

}  // namespace
}  // namespace smcd::removal
