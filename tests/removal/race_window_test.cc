// A swap at each window where another process could act between two steps
// of screening and removal. At every window the canary outside the root must
// stay byte-for-byte the same, and the result must be what the engine
// promises for that swap.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "removal/engine_fixture.h"
#include "removal/privileged_removal.h"
#include "removal/safe_removal.h"
#include "removal/test_hooks.h"

namespace smcd::SafeRemoval {
namespace {

using removal_hooks::Point;
using removal_hooks::ScopedHook;
using removal_hooks::Site;
using test::exists;

constexpr uid_t kAnn = 501;

// Whether a hook's descriptor is the directory at `path` (the same name can
// occur at several levels of the tree).
bool isDirectory(int descriptor, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return ::fstat(descriptor, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && open.st_ino == named.st_ino &&
           open.st_dev == named.st_dev;
}

void swapForLink(const std::string& path, const std::string& target, const std::string& parkedAt) {
    ASSERT_EQ(::rename(path.c_str(), parkedAt.c_str()), 0) << path;
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

void swapForFile(const std::string& path, const std::string& parkedAt) {
    ASSERT_EQ(::rename(path.c_str(), parkedAt.c_str()), 0) << path;
    test::writeFile(path, "planted");
}

// The steps a permanent removal request takes, with the window between
// screening and the resolved check marked where the daemon marks it.
std::optional<Failure> screenedRemoval(const std::string& path, PrivilegedRemoval::Target target, uid_t owner,
                                       bool& refused) {
    const PrivilegedRemoval::Verdict verdict = PrivilegedRemoval::screen({path}, target, owner);
    refused = verdict.allowed.empty();
    if (refused) return std::nullopt;
    SMCD_REMOVAL_HOOK(Point::afterScreening, path);
    if (!PrivilegedRemoval::acceptsResolved(path, target, owner)) {
        refused = true;
        return std::nullopt;
    }
    const std::optional<std::string> root = PrivilegedRemoval::acceptedRoot(path, target, owner);
    if (!root) {
        refused = true;
        return std::nullopt;
    }
    return remove(path, *root);
}

class RaceWindow : public test::EngineTest {
protected:
    // root/v/a/b/c/leaf with a file in every directory, and a parking place
    // for swapped-out directories that the engine never walks.
    void SetUp() override {
        EngineTest::SetUp();
        if (IsSkipped()) return;
        v = victim("v");
        test::buildTree(v, 1, 1);
        planted.file(v + "/a/b/c/leaf/f0");
        planted.file(v + "/a/f0");
        planted.file(v + "/a/b/f0");
        planted.file(v + "/a/b/c/f0");
        parking = victim("parking");
    }
    void TearDown() override {
        removal_hooks::clearAll();
        EngineTest::TearDown();
    }
    std::string v;
    std::string parking;
};

TEST_F(RaceWindow, AfterScreeningAParentSwappedForALinkIsRefusedBeforeRemoval) {
    const std::string path = v + "/a/b";
    int fired = 0;
    ScopedHook hook(Point::afterScreening, [&](const Site& site) {
        ++fired;
        EXPECT_EQ(site.name, path);
        swapForLink(v + "/a", canary("tree"), parking + "/a");
    });
    bool refused = false;
    EXPECT_EQ(screenedRemoval(path, PrivilegedRemoval::Target::systemCache, kAnn, refused), std::nullopt);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(exists(parking + "/a/b/f0"));
    // Had the resolved check been skipped, the engine refuses the same swap.
    EXPECT_EQ(remove(path, kRoot), Failure::escapedRoot("a"));
}

TEST_F(RaceWindow, AfterScreeningALeafSwappedForALinkIsRefusedAndWouldLoseOnlyTheLink) {
    const std::string path = v + "/a/b";
    ScopedHook hook(Point::afterScreening, [&](const Site&) {
        swapForLink(path, canary("tree"), parking + "/b");
    });
    bool refused = false;
    EXPECT_EQ(screenedRemoval(path, PrivilegedRemoval::Target::systemCache, kAnn, refused), std::nullopt);
    // The link resolves outside every cache root: refused at the resolved check.
    EXPECT_TRUE(refused);
    EXPECT_TRUE(exists(path));
    EXPECT_EQ(remove(path, kRoot), std::nullopt);
    EXPECT_FALSE(exists(path));
    EXPECT_TRUE(exists(parking + "/b/c/leaf/f0"));
}

TEST_F(RaceWindow, BetweenComponentsTheNextComponentSwappedForALinkIsAnEscape) {
    const std::vector<std::string> names{"v", "a", "b", "c"};
    for (std::size_t k = 0; k < names.size(); ++k) {
        SCOPED_TRACE("swap before opening component " + std::to_string(k));
        std::string swapped = kRoot;
        for (std::size_t i = 0; i <= k; ++i) swapped += "/" + names[i];
        const std::string parkedAt = std::string(kRoot) + "/parked-" + std::to_string(k);
        ScopedHook hook(Point::betweenComponents, [&](const Site& site) {
            if (site.index != k) return;
            EXPECT_EQ(site.name, names[k]);
            swapForLink(swapped, canary("tree"), parkedAt);
        });
        EXPECT_EQ(remove(v + "/a/b/c/leaf/f0", kRoot), Failure::escapedRoot(names[k]));
        removal_hooks::clearAll();
        // Put the directory back for the next window.
        ASSERT_EQ(::unlink(swapped.c_str()), 0);
        ASSERT_EQ(::rename(parkedAt.c_str(), swapped.c_str()), 0);
        EXPECT_TRUE(exists(v + "/a/b/c/leaf/f0"));
        expectCanaryIntact();
    }
}

TEST_F(RaceWindow, BetweenComponentsTheNextComponentSwappedForAFileIsAnEscape) {
    ScopedHook hook(Point::betweenComponents, [&](const Site& site) {
        if (site.index == 2) swapForFile(v + "/a/b", parking + "/b");
    });
    EXPECT_EQ(remove(v + "/a/b/c/leaf", kRoot), Failure::escapedRoot("b"));
    EXPECT_TRUE(exists(parking + "/b/c/leaf/f0"));
}

TEST_F(RaceWindow, BetweenComponentsMovingAnOpenAncestorDoesNotRedirectTheWalk) {
    // Once "a" is open, renaming it away and planting a link to the canary
    // in its place changes nothing: the walk goes on inside the moved "a".
    ScopedHook hook(Point::betweenComponents, [&](const Site& site) {
        if (site.index == 2) swapForLink(v + "/a", canary("tree"), parking + "/a");
    });
    EXPECT_EQ(remove(v + "/a/b/c/leaf", kRoot), std::nullopt);
    EXPECT_FALSE(exists(parking + "/a/b/c/leaf"));
    EXPECT_TRUE(exists(parking + "/a/b/c/f0"));
}

TEST_F(RaceWindow, BetweenComponentsALeafSwappedForALinkLosesOnlyTheLink) {
    ScopedHook hook(Point::betweenComponents, [&](const Site& site) {
        if (site.name == "leaf") swapForLink(v + "/a/b/c/leaf", canary("tree"), parking + "/leaf");
    });
    EXPECT_EQ(remove(v + "/a/b/c/leaf", kRoot), std::nullopt);
    EXPECT_FALSE(exists(v + "/a/b/c/leaf"));
    EXPECT_TRUE(exists(parking + "/leaf/f0"));
}

TEST_F(RaceWindow, AWalkThatIsNotDisturbedFiresEveryComponentOnce) {
    std::vector<std::pair<std::size_t, std::string>> seen;
    ScopedHook hook(Point::betweenComponents, [&](const Site& site) {
        seen.emplace_back(site.index, std::string(site.name));
        EXPECT_GE(site.directory, 0);
    });
    EXPECT_EQ(remove(v + "/a/b/c/leaf", kRoot), std::nullopt);
    EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::string>>{{0, "v"}, {1, "a"}, {2, "b"}, {3, "c"}, {4, "leaf"}}));
    // A name directly below the root opens nothing between.
    seen.clear();
    EXPECT_EQ(remove(parking, kRoot), std::nullopt);
    EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::string>>{{0, "parking"}}));
}

TEST_F(RaceWindow, BetweenListingAndUnlinkADirectorySwappedForALinkLosesOnlyTheLink) {
    int fired = 0;
    ScopedHook hook(Point::betweenListingAndUnlink, [&](const Site& site) {
        if (site.name != "b") return;
        ++fired;
        swapForLink(v + "/a/b", canary("tree"), parking + "/b");
    });
    EXPECT_EQ(remove(v + "/a", kRoot), std::nullopt);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(exists(v + "/a"));
    EXPECT_TRUE(exists(parking + "/b/c/leaf/f0"));
}

TEST_F(RaceWindow, BetweenListingAndUnlinkAVanishedEntryStillLetsTheDirectoryGo) {
    int fired = 0;
    ScopedHook hook(Point::betweenListingAndUnlink, [&](const Site& site) {
        if (site.name != "f0" || !isDirectory(site.directory, v + "/a/b/c")) return;
        ++fired;
        ASSERT_EQ(::unlink((v + "/a/b/c/f0").c_str()), 0);
    });
    EXPECT_EQ(remove(v + "/a/b/c", kRoot), std::nullopt);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(exists(v + "/a/b/c"));
}

TEST_F(RaceWindow, BetweenListingAndUnlinkAFileSwappedForADirectoryIsEmptiedToo) {
    int fired = 0;
    ScopedHook hook(Point::betweenListingAndUnlink, [&](const Site& site) {
        if (site.name != "f0" || !isDirectory(site.directory, v + "/a/b")) return;
        ++fired;
        ASSERT_EQ(::unlink((v + "/a/b/f0").c_str()), 0);
        ASSERT_EQ(::mkdir((v + "/a/b/f0").c_str(), 0755), 0);
        test::writeFile(v + "/a/b/f0/inner", "inner");
    });
    EXPECT_EQ(remove(v + "/a/b", kRoot), std::nullopt);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(exists(v + "/a/b"));
}

TEST_F(RaceWindow, BetweenUnlinkAndOpenADirectorySwappedForALinkIsAnEscape) {
    ScopedHook hook(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "c") swapForLink(v + "/a/b/c", canary("tree"), parking + "/c");
    });
    EXPECT_EQ(remove(v + "/a", kRoot), Failure::escapedRoot("c"));
    // The escape keeps every enclosing directory; everything else went.
    EXPECT_TRUE(exists(v + "/a/b/c"));
    EXPECT_FALSE(exists(v + "/a/f0"));
    EXPECT_FALSE(exists(v + "/a/b/f0"));
    EXPECT_TRUE(exists(parking + "/c/leaf/f0"));
}

TEST_F(RaceWindow, BetweenUnlinkAndOpenALeafSwappedForALinkOrAFileIsAnEscape) {
    ScopedHook hook(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "leaf") swapForLink(v + "/a/b/c/leaf", canary(), parking + "/leaf");
    });
    EXPECT_EQ(remove(v + "/a/b/c/leaf", kRoot), Failure::escapedRoot("leaf"));
    EXPECT_TRUE(exists(parking + "/leaf/f0"));
    removal_hooks::clearAll();

    ScopedHook asFile(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "c") swapForFile(v + "/a/b/c", parking + "/c");
    });
    EXPECT_EQ(remove(v + "/a/b/c", kRoot), Failure::escapedRoot("c"));
    EXPECT_EQ(test::readFile(v + "/a/b/c"), "planted");
}

TEST_F(RaceWindow, BetweenUnlinkAndOpenALeafThatVanishesIsDeniedWithENOENT) {
    ScopedHook hook(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "leaf") {
            ASSERT_EQ(::rename((v + "/a/b/c/leaf").c_str(), (parking + "/leaf").c_str()), 0);
        }
    });
    EXPECT_EQ(remove(v + "/a/b/c/leaf", kRoot), Failure::denied(ENOENT));
    EXPECT_TRUE(exists(parking + "/leaf/f0"));
}

}  // namespace
}  // namespace smcd::SafeRemoval
