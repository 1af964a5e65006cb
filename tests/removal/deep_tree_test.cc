// Trees as deep as the descriptor limit reaches: the walk must neither run
// out of stack nor leave a descriptor behind when the limit stops it.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/unique_fd.h"
#include "removal/engine_fixture.h"
#include "removal/safe_removal.h"
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

// A chain top/d/d/.../d of `levels` directories with a file at the bottom
// and one beside every hundredth directory, made relative to descriptors so
// that no path ever gets long. Holds two descriptors at most.
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

class DeepTree : public test::EngineTest {};

TEST_F(DeepTree, TenThousandLevelsAreRemovedWithoutExhaustingTheStack) {
    // One stream per level plus what the process already holds.
    DescriptorLimit limit(kDeepLevels + 256 + test::openDescriptorCount());
    ASSERT_TRUE(limit.ok) << "cannot raise the descriptor limit for this test";
    const std::string top = victim("deep") + "/chain";
    buildChain(top, kDeepLevels);
    EXPECT_EQ(remove(top, kRoot), std::nullopt);
    EXPECT_FALSE(test::exists(top));
    EXPECT_TRUE(test::exists(std::string(kRoot) + "/deep"));
}

TEST_F(DeepTree, ATreeDeeperThanTheLimitIsDeniedWithEveryDescriptorClosed) {
    const std::string top = victim("too-deep") + "/chain";
    constexpr int kLevels = 400;
    buildChain(top, kLevels);
    {
        DescriptorLimit limit(test::openDescriptorCount() + 100);
        ASSERT_TRUE(limit.ok);
        EXPECT_EQ(remove(top, kRoot), Failure::denied(EMFILE));
    }
    // What lay above the limit's reach is still there, down to the bottom.
    std::string path = top;
    for (int level = 1; level < kLevels; ++level) path += "/d";
    EXPECT_TRUE(test::exists(path + "/bottom"));
    // With room to work the same call completes.
    EXPECT_EQ(remove(top, kRoot), std::nullopt);
    EXPECT_FALSE(test::exists(top));
}

}  // namespace
}  // namespace smcd::SafeRemoval
