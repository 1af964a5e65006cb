#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <tuple>

#include "common/unique_fd.h"
#include "removal/engine_fixture.h"
#include "removal/safe_removal.h"

namespace smcd::SafeRemoval {
namespace {

using test::exists;

// Marks a file immutable for one scope, so that even root's unlink fails
// with EPERM.
struct ImmutableMark {
    explicit ImmutableMark(std::string path) : path(std::move(path)) { ok = set(true); }
    ~ImmutableMark() { set(false); }
    ImmutableMark(const ImmutableMark&) = delete;
    bool set(bool on) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        int flags = 0;
        if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
    }
    std::string path;
    bool ok = false;
};

// An empty file system mounted on a directory for one scope: the directory
// cannot be removed (EBUSY) meanwhile.
struct MountedOn {
    explicit MountedOn(std::string at) : path(std::move(at)) {
        ok = ::mount("smcd-test", path.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~MountedOn() {
        if (ok) ::umount2(path.c_str(), MNT_DETACH);
    }
    MountedOn(const MountedOn&) = delete;
    std::string path;
    bool ok = false;
};

// Entry names in the directory's own order.
std::vector<std::string> listing(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
    return names;
}

class SafeRemovalTest : public test::EngineTest {};

TEST_F(SafeRemovalTest, RemovesFilesEmptyDirectoriesAndWholeTrees) {
    const std::string dir = victim("tree");
    test::buildTree(dir, 3, 4);
    planted.directory(dir + "/d2/empty-dir");
    planted.link("/nowhere", dir + "/d1/dangling");
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(remove(dir + "/f0", kRoot), std::nullopt);
    EXPECT_FALSE(exists(dir + "/f0"));
    EXPECT_TRUE(exists(dir + "/f1"));
    EXPECT_EQ(remove(dir + "/d2/empty-dir", kRoot), std::nullopt);
    EXPECT_FALSE(exists(dir + "/d2/empty-dir"));
    // Slashes change nothing, and the root's own spelling may differ.
    EXPECT_EQ(remove("Library//Caches/tree///d0/", "/Library/Caches/"), std::nullopt);
    EXPECT_FALSE(exists(dir + "/d0"));
    EXPECT_EQ(remove(dir, kRoot), std::nullopt);
    EXPECT_FALSE(exists(dir));
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

TEST_F(SafeRemovalTest, AnIntermediateLinkOrFileIsAnEscapeEvenWhenItPointsInside) {
    const std::string real = victim("real");
    planted.file(real + "/x");
    planted.file(real + "/plain");
    planted.link(real, std::string(kRoot) + "/alias");
    planted.link(canary(), std::string(kRoot) + "/outside");
    EXPECT_EQ(remove(std::string(kRoot) + "/alias/x", kRoot), Failure::escapedRoot("alias"));
    EXPECT_EQ(remove(std::string(kRoot) + "/outside/tree/f0", kRoot), Failure::escapedRoot("outside"));
    EXPECT_EQ(remove(real + "/plain/x/y", kRoot), Failure::escapedRoot("plain"));
    EXPECT_TRUE(exists(real + "/x"));
    EXPECT_TRUE(exists(real + "/plain"));
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

TEST_F(SafeRemovalTest, RemovesExactlyTheClientsSpelling) {
    const std::string dir = victim("unicode");
    const std::string composed = dir + "/caf\xC3\xA9", decomposed = dir + "/cafe\xCC\x81";
    planted.file(composed, "composed");
    planted.file(decomposed, "decomposed");
    EXPECT_EQ(remove(decomposed, kRoot), std::nullopt);
    EXPECT_FALSE(exists(decomposed));
    EXPECT_EQ(test::readFile(composed), "composed");
    // The root opens as the root is spelled and the names below it as the
    // path spells them; the two need only be canonically equal.
    ASSERT_EQ(::unlink(composed.c_str()), 0);
    planted.directory(decomposed + "/x");
    EXPECT_EQ(remove(composed + "/x", decomposed), std::nullopt);
    EXPECT_FALSE(exists(decomposed + "/x"));
}

TEST_F(SafeRemovalTest, EntriesThatCannotGoAreKeptEverythingElseGoesAndTheFirstFailureWins) {
    const std::string dir = victim("partial");
    test::buildTree(dir + "/sub", 2, 2);
    planted.file(dir + "/a");
    planted.directory(dir + "/busy");
    MountedOn mount(dir + "/busy");
    ASSERT_TRUE(mount.ok) << "mounting needs the sandbox's private namespace";
    EXPECT_EQ(remove(dir, kRoot), Failure::denied(EBUSY));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"busy"});

    // A protected file: its EPERM is taken for a directory's, whose open
    // then fails with ENOTDIR. Its escape keeps every directory above it.
    planted.file(dir + "/locked");
    planted.file(dir + "/nested/inner/locked2");
    planted.file(dir + "/nested/other");
    ImmutableMark mark(dir + "/locked");
    ImmutableMark nestedMark(dir + "/nested/inner/locked2");
    if (!mark.ok || !nestedMark.ok) GTEST_SKIP() << "this file system keeps no immutable flag";
    EXPECT_EQ(remove(dir + "/locked", kRoot), Failure::escapedRoot("locked"));
    EXPECT_EQ(remove(dir + "/nested", kRoot), Failure::escapedRoot("locked2"));
    EXPECT_FALSE(exists(dir + "/nested/other"));
    std::optional<Failure> first;
    for (const std::string& name : listing(dir)) {
        if (name == "busy") first = Failure::denied(EBUSY);
        if (name == "locked") first = Failure::escapedRoot("locked");
        if (name == "nested") first = Failure::escapedRoot("locked2");
        if (first) break;
    }
    EXPECT_EQ(remove(dir, kRoot), first);
    std::vector<std::string> left = listing(dir);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"busy", "locked", "nested"}));
}

TEST_F(SafeRemovalTest, OpenParentReachesTheLeafsParentTheSameWay) {
    const std::string dir = victim("parent");
    planted.file(dir + "/a/leaf", "leaf");
    planted.link(dir + "/a", dir + "/alias");
    // The parent's descriptor is the directory that holds the leaf; for a
    // single name below the root, the root itself.
    for (const auto& [path, parent, leaf] : {std::tuple{dir + "/a/leaf", dir + "/a", "leaf"},
                                             std::tuple{dir, std::string(kRoot), "parent"}}) {
        auto opened = openParent(path, kRoot);
        ASSERT_TRUE(opened) << path;
        EXPECT_EQ(opened->leaf, leaf);
        struct stat viaDescriptor {}, viaPath {};
        ASSERT_EQ(::fstat(opened->parent.get(), &viaDescriptor), 0);
        ASSERT_EQ(::stat(parent.c_str(), &viaPath), 0);
        EXPECT_EQ(viaDescriptor.st_ino, viaPath.st_ino) << path;
    }
    for (const auto& [path, failure] : {std::pair{dir + "/alias/leaf", Failure::escapedRoot("alias")},
                                        std::pair{std::string(kRoot), Failure::outsideRoot()},
                                        std::pair{dir + "/none/leaf", Failure::notFound()}}) {
        const auto refused = openParent(path, kRoot);
        ASSERT_FALSE(refused) << path;
        EXPECT_EQ(refused.error(), failure) << path;
    }
}

}  // namespace
}  // namespace smcd::SafeRemoval
