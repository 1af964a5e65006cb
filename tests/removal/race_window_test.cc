// A swap at each window where another process could act between two steps
// of screening and removal. At every window the canary outside the root must
// stay byte-for-byte the same (checked after each test), and the result must
// be what the engine promises for that swap.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "removal/engine_fixture.h"
#include "removal/screening.h"
#include "removal/safe_removal.h"
#include "removal/test_hooks.h"

namespace smcd::SafeRemoval {
namespace {

using removal_hooks::Point;
using removal_hooks::ScopedHook;
using removal_hooks::Site;
using test::exists;

// Whether a hook's descriptor is the directory at `path`: the same names
// occur at several levels of the tree.
bool isDirectory(int descriptor, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return ::fstat(descriptor, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && open.st_ino == named.st_ino;
}

// Parks `path` at `parkedAt` and puts a link to `target` (or, without one,
// a regular file) in its place; restore() undoes it.
void plantInPlace(const std::string& path, const std::string& parkedAt, const std::string& target = "") {
    ASSERT_EQ(::rename(path.c_str(), parkedAt.c_str()), 0) << path;
    if (target.empty()) {
        test::writeFile(path, "planted");
    } else {
        ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    }
}
void restore(const std::string& path, const std::string& parkedAt) {
    ASSERT_EQ(::unlink(path.c_str()), 0) << path;
    ASSERT_EQ(::rename(parkedAt.c_str(), path.c_str()), 0) << path;
}

class RaceWindow : public test::EngineTest {
protected:
    // root/v/a/b/c/leaf with a file in every directory, and a parking place
    // for swapped-out directories that the engine is never asked to walk.
    void SetUp() override {
        EngineTest::SetUp();
        if (IsSkipped()) return;
        v = victim("v");
        for (const char* file : {"/f0", "/a/f0", "/a/b/f0", "/a/b/c/f0", "/a/b/c/leaf/f0"}) planted.file(v + file);
        parking = victim("parking");
    }
    void TearDown() override {
        removal_hooks::clearAll();
        EngineTest::TearDown();
    }
    std::string v;
    std::string parking;
};

TEST_F(RaceWindow, AfterScreeningASwappedParentOrLeafIsRefusedByTheResolvedCheck) {
    // The daemon's order: screen, (window), resolved check, root, engine.
    const auto removal = [](const std::string& path) -> std::optional<std::optional<Failure>> {
        using namespace PrivilegedRemoval;
        if (screen({path}, Target::systemCache, 501).allowed.empty()) return std::nullopt;
        SMCD_REMOVAL_HOOK(Point::afterScreening, path);
        if (!acceptsResolved(path, Target::systemCache, 501)) return std::nullopt;
        return outcome(remove(path, *acceptedRoot(path, Target::systemCache, 501)));
    };
    const std::string path = v + "/a/b";
    {
        ScopedHook hook(Point::afterScreening, [&](const Site& site) {
            EXPECT_EQ(site.name, path);
            plantInPlace(v + "/a", parking + "/a", canary("tree"));
        });
        EXPECT_EQ(removal(path), std::nullopt);
    }
    EXPECT_TRUE(exists(parking + "/a/b/f0"));
    // Had the resolved check been skipped, the engine refuses the same swap.
    EXPECT_EQ(remove(path, kRoot), Failure::escapedRoot("a"));
    restore(v + "/a", parking + "/a");
    {
        ScopedHook hook(Point::afterScreening, [&](const Site&) { plantInPlace(path, parking + "/b", canary("tree")); });
        EXPECT_EQ(removal(path), std::nullopt);
    }
    // The engine would have taken the link alone.
    EXPECT_EQ(remove(path, kRoot), std::nullopt);
    EXPECT_TRUE(exists(parking + "/b/c/leaf/f0"));
}

TEST_F(RaceWindow, BetweenComponentsTheNextComponentSwappedForALinkOrAFileIsAnEscape) {
    const std::vector<std::string> names{"v", "a", "b", "c"};
    for (const std::string& target : {canary("tree"), std::string()}) {
        for (std::size_t k = 0; k < names.size(); ++k) {
            SCOPED_TRACE("swap before opening component " + std::to_string(k) + (target.empty() ? " for a file" : ""));
            std::string swapped = kRoot;
            for (std::size_t i = 0; i <= k; ++i) swapped += "/" + names[i];
            const std::string parkedAt = std::string(kRoot) + "/parked-" + std::to_string(k);
            ScopedHook hook(Point::betweenComponents, [&](const Site& site) {
                if (site.index != k) return;
                EXPECT_EQ(site.name, names[k]);
                plantInPlace(swapped, parkedAt, target);
            });
            EXPECT_EQ(remove(v + "/a/b/c/leaf/f0", kRoot), Failure::escapedRoot(names[k]));
            restore(swapped, parkedAt);
            EXPECT_TRUE(exists(v + "/a/b/c/leaf/f0"));
        }
    }
    // The leaf itself swapped for a link: only the link goes.
    ScopedHook hook(Point::betweenComponents, [&](const Site& site) {
        if (site.name == "leaf") plantInPlace(v + "/a/b/c/leaf", parking + "/leaf", canary("tree"));
    });
    EXPECT_EQ(remove(v + "/a/b/c/leaf", kRoot), std::nullopt);
    EXPECT_FALSE(exists(v + "/a/b/c/leaf"));
    EXPECT_TRUE(exists(parking + "/leaf/f0"));
}

TEST_F(RaceWindow, BetweenComponentsMovingAnOpenAncestorDoesNotRedirectTheWalk) {
    // Once "a" is open, renaming it away and planting a link to the canary
    // in its place changes nothing: the walk goes on inside the moved "a".
    std::vector<std::pair<std::size_t, std::string>> seen;
    ScopedHook hook(Point::betweenComponents, [&](const Site& site) {
        seen.emplace_back(site.index, site.name);
        if (site.index == 2) plantInPlace(v + "/a", parking + "/a", canary("tree"));
    });
    EXPECT_EQ(remove(v + "/a/b/c/leaf", kRoot), std::nullopt);
    EXPECT_FALSE(exists(parking + "/a/b/c/leaf"));
    EXPECT_TRUE(exists(parking + "/a/b/c/f0"));
    EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::string>>{{0, "v"}, {1, "a"}, {2, "b"}, {3, "c"}, {4, "leaf"}}));
}

TEST_F(RaceWindow, BetweenListingAndUnlinkASwappedDirectoryLosesOnlyTheLink) {
    int fired = 0;
    ScopedHook hook(Point::betweenListingAndUnlink, [&](const Site& site) {
        if (site.name != "b") return;
        ++fired;
        plantInPlace(v + "/a/b", parking + "/b", canary("tree"));
    });
    EXPECT_EQ(remove(v + "/a", kRoot), std::nullopt);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(exists(v + "/a"));
    EXPECT_TRUE(exists(parking + "/b/c/leaf/f0"));
}

TEST_F(RaceWindow, BetweenListingAndUnlinkAVanishedOrRetypedEntryStillLetsTheDirectoryGo) {
    int fired = 0;
    ScopedHook hook(Point::betweenListingAndUnlink, [&](const Site& site) {
        if (site.name != "f0") return;
        if (isDirectory(site.directory, v + "/a/b/c")) {  // vanishes: notFound, dropped
            ++fired;
            ASSERT_EQ(::unlink((v + "/a/b/c/f0").c_str()), 0);
        } else if (isDirectory(site.directory, v + "/a/b")) {  // becomes a directory: emptied too
            ++fired;
            ASSERT_EQ(::unlink((v + "/a/b/f0").c_str()), 0);
            ASSERT_EQ(::mkdir((v + "/a/b/f0").c_str(), 0755), 0);
            test::writeFile(v + "/a/b/f0/inner", "inner");
        }
    });
    EXPECT_EQ(remove(v + "/a/b", kRoot), std::nullopt);
    EXPECT_EQ(fired, 2);
    EXPECT_FALSE(exists(v + "/a/b"));
}

TEST_F(RaceWindow, BetweenUnlinkAndOpenASwappedDirectoryIsAnEscapeThatKeepsItsParents) {
    ScopedHook hook(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "c") plantInPlace(v + "/a/b/c", parking + "/c", canary("tree"));
    });
    EXPECT_EQ(remove(v + "/a", kRoot), Failure::escapedRoot("c"));
    EXPECT_TRUE(exists(v + "/a/b/c"));
    EXPECT_FALSE(exists(v + "/a/f0"));
    EXPECT_FALSE(exists(v + "/a/b/f0"));
    EXPECT_TRUE(exists(parking + "/c/leaf/f0"));
}

TEST_F(RaceWindow, BetweenUnlinkAndOpenALeafSwappedIsAnEscapeAndAVanishedOneIsDenied) {
    ScopedHook asLink(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "leaf") plantInPlace(v + "/a/b/c/leaf", parking + "/leaf", canary());
    });
    EXPECT_EQ(remove(v + "/a/b/c/leaf", kRoot), Failure::escapedRoot("leaf"));
    EXPECT_TRUE(exists(parking + "/leaf/f0"));
    ScopedHook asFile(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "b") plantInPlace(v + "/a/b", parking + "/b");
    });
    EXPECT_EQ(remove(v + "/a/b", kRoot), Failure::escapedRoot("b"));
    EXPECT_EQ(test::readFile(v + "/a/b"), "planted");
    ScopedHook vanishing(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "c") {
            ASSERT_EQ(::rename((parking + "/b/c").c_str(), (parking + "/c").c_str()), 0);
        }
    });
    EXPECT_EQ(remove(parking + "/b/c", kRoot), Failure::denied(ENOENT));
    EXPECT_TRUE(exists(parking + "/c/f0"));
}

}  // namespace
}  // namespace smcd::SafeRemoval
