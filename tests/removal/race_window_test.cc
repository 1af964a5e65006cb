// A change at each window where another process could act between two steps
// of the engine. At every window the canary outside the root must stay
// byte-for-byte the same (checked after the test), and the result must be
// what the engine promises for that change.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "removal/engine_fixture.h"
#include "removal/safe_removal.h"
#include "removal/test_hooks.h"
#include "support/tree.h"

namespace smcd::removal {
namespace {

using removal::hooks::Point;
using removal::hooks::ScopedHook;
using removal::hooks::Site;
using namespace std::chrono_literals;

enum class Swap { link, file, gone };  // what takes the moved entry's place

class RaceWindow : public test::EngineTest {};

TEST_F(RaceWindow, EachWindowBetweenChecksAndActsEndsInItsOutcome) {
    struct Case {
        Point point;
        const char* at;       // the hook's entry name
        const char* swapped;  // below v, moved to parking/moved
        Swap by;
        const char* removed;  // below v
        std::optional<Failure> outcome;
        std::vector<std::string> present, absent;  // below the root
    };
    using P = Point;
    const Case cases[] = {
        // The next component swapped before it is opened: an escape.
        {P::betweenComponents, "v", "", Swap::link, "a/b/c/leaf/f0", Failure::escapedRoot("v"), {"parking/moved/a/b/c/leaf/f0"}, {}},
        {P::betweenComponents, "a", "a", Swap::link, "a/b/c/leaf/f0", Failure::escapedRoot("a"), {"parking/moved/b/c/leaf/f0"}, {}},
        {P::betweenComponents, "c", "a/b/c", Swap::link, "a/b/c/leaf/f0", Failure::escapedRoot("c"), {"parking/moved/leaf/f0"}, {}},
        {P::betweenComponents, "b", "a/b", Swap::file, "a/b/c/leaf/f0", Failure::escapedRoot("b"), {"parking/moved/c/leaf/f0"}, {}},
        // The leaf itself swapped for a link: only the link goes.
        {P::betweenComponents, "leaf", "a/b/c/leaf", Swap::link, "a/b/c/leaf", std::nullopt, {"parking/moved/f0"}, {"v/a/b/c/leaf"}},
        // An open ancestor moved away: the walk goes on inside it, not through the link.
        {P::betweenComponents, "b", "a", Swap::link, "a/b/c/leaf", std::nullopt, {"parking/moved/b/c/f0"}, {"parking/moved/b/c/leaf"}},
        // Between listing and unlink: a swapped directory loses only the
        // link; a vanished entry still lets its directory go.
        {P::betweenListingAndUnlink, "b", "a/b", Swap::link, "a", std::nullopt, {"parking/moved/c/leaf/f0"}, {"v/a"}},
        {P::betweenListingAndUnlink, "f0", "a/b/c/f0", Swap::gone, "a/b", std::nullopt, {}, {"v/a/b"}},
        // Between unlink and open: an escape that keeps its parents, or a
        // directory gone from under the walk.
        {P::betweenUnlinkAndOpen, "c", "a/b/c", Swap::link, "a", Failure::escapedRoot("c"), {"v/a/b/c", "parking/moved/leaf/f0"}, {"v/a/f0", "v/a/b/f0"}},
        {P::betweenUnlinkAndOpen, "leaf", "a/b/c/leaf", Swap::link, "a/b/c/leaf", Failure::escapedRoot("leaf"), {"parking/moved/f0"}, {}},
        {P::betweenUnlinkAndOpen, "b", "a/b", Swap::file, "a/b", Failure::escapedRoot("b"), {"v/a/b"}, {}},
        {P::betweenUnlinkAndOpen, "c", "a/b/c", Swap::gone, "a/b/c", Failure::denied(ENOENT), {"parking/moved/f0"}, {}},
    };
    const std::string root = std::string(kRoot) + "/";
    const std::string v = victim("v"), parking = victim("parking");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.at) + " swapped at " + c.swapped);
        for (const char* file : {"/f0", "/a/f0", "/a/b/f0", "/a/b/c/f0", "/a/b/c/leaf/f0"}) {
            std::filesystem::create_directories(std::filesystem::path(v + file).parent_path());
            test::writeFile(v + file, "x");
        }
        const std::string swapped = *c.swapped ? v + "/" + c.swapped : v;
        bool fired = false;
        ScopedHook hook(c.point, [&](const Site& site) {
            if (fired || site.name != c.at) return;
            fired = true;
            ASSERT_EQ(::rename(swapped.c_str(), (parking + "/moved").c_str()), 0);
            if (c.by == Swap::link) test::makeLink(canary("tree"), swapped);
            if (c.by == Swap::file) test::writeFile(swapped, "planted");
        });
        EXPECT_EQ(outcome(remove(v + "/" + c.removed, kRoot)), c.outcome);
        EXPECT_TRUE(fired);
        for (const std::string& path : c.present) EXPECT_TRUE(test::exists(root + path)) << path;
        for (const std::string& path : c.absent) EXPECT_FALSE(test::exists(root + path)) << path;
        std::filesystem::remove_all(v);
        std::filesystem::remove_all(parking + "/moved");
    }
}

// Two workers share the item's subdirectories. The one listed first
// vanishes just before its unlink; the one listed second is swapped for a
// link only once the other worker has met a later failure (a mount) and
// gone on to the last entry. The result is the failure listed second: not
// the vanished entry's notFound, which would read as removed, nor the
// failure met first. The item stays, every other entry goes.
TEST_F(RaceWindow, TheFailureListedFirstIsTheResultWhicheverWorkerMeetsItFirst) {
    const std::string dir = victim("v");
    for (int i = 0; i < 8; ++i) planted.file(dir + "/d" + std::to_string(i) + "/f");
    std::vector<std::string> listed;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) listed.push_back(entry.path().filename());
    const test::ScopedMount busy(dir + "/" + listed[6] + "/busy");
    std::mutex lock;
    std::condition_variable lastBegun;
    bool begun = false;
    ScopedHook vanishAndSignal(Point::betweenListingAndUnlink, [&](const Site& site) {
        const std::lock_guard<std::mutex> guard(lock);
        if (site.name == listed[0]) std::filesystem::remove_all(dir + "/" + listed[0]);
        begun = begun || site.name == listed.back();
        lastBegun.notify_all();
    });
    ScopedHook swap(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        std::unique_lock<std::mutex> guard(lock);
        if (site.name != listed[1]) return;
        ASSERT_TRUE(lastBegun.wait_for(guard, 20s, [&] { return begun; })) << "no second worker took the rest";
        test::swapForLink(dir + "/" + listed[1], canary("tree"));
    });
    EXPECT_EQ(outcome(remove(dir, kRoot)), Failure::escapedRoot(listed[1]));
    // The link, the directory it stood for, and the one holding the mount.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3);
}

}  // namespace
}  // namespace smcd::removal
