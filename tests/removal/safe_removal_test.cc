#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <tuple>

#include "removal/engine_fixture.h"
#include "removal/measurement.h"
#include "removal/safe_removal.h"
#include "support/tree.h"

namespace smcd::removal {
namespace {

using test::exists;

// Entry names, sorted.
std::vector<std::string> listing(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class SafeRemovalTest : public test::EngineTest {};

TEST_F(SafeRemovalTest, RemovesExactlyTheNamedFileDirectoryOrTree) {
    const std::string dir = victim("tree");
    test::buildTree(dir, 3, 4);
    planted.directory(dir + "/d2/empty-dir");
    planted.link("/nowhere", dir + "/d1/dangling");
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const std::string composed = dir + "/caf\xC3\xA9", decomposed = dir + "/cafe\xCC\x81";
    planted.file(composed, "composed");
    planted.directory(decomposed + "/x");
    // Slashes change nothing; the root opens as the root is spelled and the
    // names below it as the path spells them: they need only be canonically
    // equal. Another spelling of a name is another entry.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {dir + "/f0", kRoot, dir + "/f0"},
        {dir + "/d2/empty-dir", kRoot, dir + "/d2/empty-dir"},
        {"Library//Caches/tree///d0/", "/Library/Caches/", dir + "/d0"},
        {composed + "/x", decomposed, decomposed + "/x"},
        {decomposed, kRoot, decomposed},
        {dir, kRoot, dir},
    };
    for (const auto& [path, root, gone] : cases) {
        if (gone == dir) {
            EXPECT_EQ(test::readFile(composed), "composed");
        }
        EXPECT_EQ(remove(path, root), std::nullopt) << path;
        EXPECT_FALSE(exists(gone)) << path;
    }
    EXPECT_TRUE(exists(kRoot));
}

TEST_F(SafeRemovalTest, LinksAreUnlinkedNeverFollowed) {
    const std::string dir = victim("links");
    planted.link(canary("tree"), dir + "/leaf-to-dir");
    planted.link(canary("file"), dir + "/leaf-to-file");
    EXPECT_EQ(remove(dir + "/leaf-to-dir", kRoot), std::nullopt);
    EXPECT_EQ(remove(dir + "/leaf-to-file", kRoot), std::nullopt);
    EXPECT_EQ(listing(dir), std::vector<std::string>{});
    // Inside a removed tree, named like the canary's own entries.
    test::buildTree(dir + "/sub", 2, 2);
    planted.link(canary("tree"), dir + "/sub/d0/outside-dir");
    planted.link(canary("tree"), dir + "/d0");
    planted.link("../../../private/var/canary/file", dir + "/relative");
    // A hard link goes; the outside file stays with one link less.
    ASSERT_EQ(::link(canary("file").c_str(), (dir + "/sub/hard").c_str()), 0);
    struct stat before {}, after {};
    ASSERT_EQ(::stat(canary("file").c_str(), &before), 0);
    EXPECT_EQ(remove(dir, kRoot), std::nullopt);
    EXPECT_FALSE(exists(dir));
    ASSERT_EQ(::stat(canary("file").c_str(), &after), 0);
    EXPECT_EQ(after.st_nlink, before.st_nlink - 1);
}

TEST_F(SafeRemovalTest, ClassifiesPathsOutsideMissingRootsAndMissingNames) {
    const std::string dir = victim("edges");
    planted.file(dir + "/x");
    for (const std::string& path : {dir + "/../edges/x", dir + "/./x", dir + "/x/.", dir + "/x/..",
                                    std::string(kRoot), std::string(kRoot) + "/", std::string("/Library/Logs/x")})
        EXPECT_EQ(remove(path, kRoot), Failure::outsideRoot()) << path;
    EXPECT_EQ(remove("/Library/NoSuchRoot/x", "/Library/NoSuchRoot"), Failure::denied(ENOENT));
    EXPECT_EQ(remove(dir + "/x/y", dir + "/x"), Failure::denied(ENOTDIR));
    EXPECT_EQ(remove(dir + "/nothing", kRoot), Failure::notFound());
    EXPECT_EQ(remove(dir + "/nothing/deeper/x", kRoot), Failure::notFound());
    EXPECT_TRUE(exists(dir + "/x"));
    // The root's own links are followed: /var is one.
    planted.directory("/var/folders/ab/xyz/C/x");
    EXPECT_EQ(remove("/var/folders/ab/xyz/C/x", "/var/folders"), std::nullopt);
    EXPECT_FALSE(exists("/private/var/folders/ab/xyz/C/x"));
}

// A mount below the item or the item itself, another file system or a bind
// mount of this one, is never entered: it stays with its contents,
// everything else goes; measurement does not count it, nor a file of it
// bind-mounted over one of the tree's.
TEST_F(SafeRemovalTest, AMountInsideTheTreeKeepsItsContentsAndEverythingElseGoes) {
    const std::string dir = victim("partial");
    test::buildTree(dir + "/sub", 2, 2);
    planted.file(dir + "/a");
    const auto counted = removal::measureTree(dir, 0);
    const std::string source = victim("bound");
    test::buildTree(source, 2, 2);
    const auto boundBefore = test::snapshot(source);
    const test::ScopedMount busy(dir + "/sub/d0/busy"), bound(dir + "/sub/d1/bound", source);
    test::buildTree(busy.at, 2, 2);
    planted.file(busy.at + "/big", std::string(100000, 'x'));
    const auto mounted = test::snapshot(busy.at);
    EXPECT_EQ(removal::measureTree(dir, 0), counted);
    ASSERT_EQ(::mount((busy.at + "/big").c_str(), (dir + "/a").c_str(), nullptr, MS_BIND, nullptr), 0);
    const auto coveredFile = removal::measureTree(dir, 0);
    ::umount2((dir + "/a").c_str(), MNT_DETACH);
    ASSERT_TRUE(counted && coveredFile);
    EXPECT_EQ(coveredFile->second, counted->second - 1);
    EXPECT_EQ(remove(dir, kRoot), Failure::denied(EXDEV));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"sub"});
    EXPECT_EQ(listing(dir + "/sub"), (std::vector<std::string>{"d0", "d1"}));
    EXPECT_EQ(listing(dir + "/sub/d0"), std::vector<std::string>{"busy"});
    EXPECT_EQ(listing(dir + "/sub/d1"), std::vector<std::string>{"bound"});
    for (const std::string& item : {busy.at, bound.at}) EXPECT_EQ(remove(item, kRoot), Failure::denied(EXDEV));
    EXPECT_EQ(test::snapshot(busy.at), mounted);
    EXPECT_EQ(test::snapshot(source), boundBefore);
}

}  // namespace
}  // namespace smcd::removal
