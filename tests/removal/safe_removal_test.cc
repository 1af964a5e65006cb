#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/unique_dir.h"
#include "common/unique_fd.h"
#include "removal/engine_fixture.h"
#include "removal/safe_removal.h"

namespace smcd::SafeRemoval {
namespace {

using test::exists;

// Marks a file immutable, so that even root's unlink fails with EPERM, and
// clears the mark when the test ends.
class ImmutableMark {
public:
    explicit ImmutableMark(std::string path) : path_(std::move(path)) { set(true); }
    ~ImmutableMark() { set(false); }
    ImmutableMark(const ImmutableMark&) = delete;
    ImmutableMark& operator=(const ImmutableMark&) = delete;
    bool ok() const { return ok_; }

private:
    void set(bool on) {
        UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd) return;
        int flags = 0;
        if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return;
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok_ = ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
    }

    std::string path_;
    bool ok_ = false;
};

// An empty file system mounted on a directory: the directory cannot be
// removed (EBUSY) while the mount stands.
class MountedOn {
public:
    explicit MountedOn(std::string path) : path_(std::move(path)) {
        ok_ = ::mount("smcd-test", path_.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~MountedOn() {
        if (ok_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    MountedOn(const MountedOn&) = delete;
    MountedOn& operator=(const MountedOn&) = delete;
    bool ok() const { return ok_; }

private:
    std::string path_;
    bool ok_ = false;
};

std::vector<std::string> listing(const std::string& directory) {
    std::vector<std::string> names;
    UniqueDir dir(::opendir(directory.c_str()));
    while (const dirent* entry = dir ? ::readdir(dir.get()) : nullptr) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    return names;
}

class SafeRemovalTest : public test::EngineTest {};

TEST_F(SafeRemovalTest, RemovesFilesAndWholeTrees) {
    const std::string dir = victim("tree");
    test::buildTree(dir, 3, 4);
    planted.file(dir + "/d0/d1/empty-file", "");
    planted.directory(dir + "/d2/empty-dir");
    planted.link("/nowhere", dir + "/d1/dangling");
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(remove(dir + "/f0", kRoot), std::nullopt);
    EXPECT_FALSE(exists(dir + "/f0"));
    EXPECT_TRUE(exists(dir + "/f1"));
    EXPECT_EQ(remove(dir, kRoot), std::nullopt);
    EXPECT_FALSE(exists(dir));
    EXPECT_TRUE(exists(kRoot));
}

TEST_F(SafeRemovalTest, AnEmptyDirectoryLeafIsRemoved) {
    const std::string dir = victim("empty");
    EXPECT_EQ(remove(dir, kRoot), std::nullopt);
    EXPECT_FALSE(exists(dir));
}

TEST_F(SafeRemovalTest, SlashesDoNotChangeWhatIsRemoved) {
    victim("slashes/a");
    planted.file(std::string(kRoot) + "/slashes/a/x");
    EXPECT_EQ(remove("/Library//Caches/slashes///a/x/", "/Library/Caches/"), std::nullopt);
    EXPECT_FALSE(exists(std::string(kRoot) + "/slashes/a/x"));
    EXPECT_EQ(remove("Library/Caches/slashes/a", kRoot), std::nullopt);
    EXPECT_FALSE(exists(std::string(kRoot) + "/slashes/a"));
}

TEST_F(SafeRemovalTest, ALeafLinkGoesAloneAndItsTargetStays) {
    const std::string dir = victim("links");
    planted.link(canary("tree"), dir + "/to-canary-dir");
    planted.link(canary("file"), dir + "/to-canary-file");
    EXPECT_EQ(remove(dir + "/to-canary-dir", kRoot), std::nullopt);
    EXPECT_EQ(remove(dir + "/to-canary-file", kRoot), std::nullopt);
    EXPECT_FALSE(exists(dir + "/to-canary-dir"));
    EXPECT_FALSE(exists(dir + "/to-canary-file"));
    EXPECT_TRUE(exists(dir));
}

TEST_F(SafeRemovalTest, LinksInsideARemovedTreeAreUnlinkedNotFollowed) {
    const std::string dir = victim("holder");
    test::buildTree(dir + "/sub", 2, 2);
    planted.link(canary("tree"), dir + "/sub/d0/outside-dir");
    planted.link(canary("tree"), dir + "/d0");  // a link named like the canary's own entries
    planted.link("../../../private/var/canary/file", dir + "/relative");
    EXPECT_EQ(remove(dir, kRoot), std::nullopt);
    EXPECT_FALSE(exists(dir));
}

TEST_F(SafeRemovalTest, AnIntermediateLinkIsRefusedEvenWhenItPointsInsideTheRoot) {
    const std::string real = victim("real");
    planted.file(real + "/x");
    planted.link(real, std::string(kRoot) + "/alias");
    planted.link(canary(), std::string(kRoot) + "/outside");
    EXPECT_EQ(remove(std::string(kRoot) + "/alias/x", kRoot), Failure::escapedRoot("alias"));
    EXPECT_EQ(remove(std::string(kRoot) + "/outside/file", kRoot), Failure::escapedRoot("outside"));
    EXPECT_EQ(remove(std::string(kRoot) + "/outside/tree/f0", kRoot), Failure::escapedRoot("outside"));
    EXPECT_TRUE(exists(real + "/x"));
    EXPECT_TRUE(exists(std::string(kRoot) + "/alias"));
}

TEST_F(SafeRemovalTest, AnIntermediateFileIsRefusedAsEscapeNotAsMissing) {
    const std::string dir = victim("with-file");
    planted.file(dir + "/plain");
    EXPECT_EQ(remove(dir + "/plain/x", kRoot), Failure::escapedRoot("plain"));
    EXPECT_EQ(remove(dir + "/plain/x/y", kRoot), Failure::escapedRoot("plain"));
    EXPECT_TRUE(exists(dir + "/plain"));
}

TEST_F(SafeRemovalTest, DotComponentsAndPathsNotBelowTheRootAreOutside) {
    const std::string dir = victim("dots");
    planted.file(dir + "/x");
    for (const std::string& path : {dir + "/../dots/x", dir + "/./x", dir + "/x/.", dir + "/x/..",
                                    std::string("/Library/Caches"), std::string("/Library/Caches/"),
                                    std::string("/Library"), std::string("/Library/Logs/x"), std::string("/")})
        EXPECT_EQ(remove(path, kRoot), Failure::outsideRoot()) << path;
    EXPECT_TRUE(exists(dir + "/x"));
}

TEST_F(SafeRemovalTest, AMissingRootIsDeniedAndAMissingNameIsNotFound) {
    const std::string dir = victim("missing");
    planted.file(dir + "/file");
    EXPECT_EQ(remove("/Library/NoSuchRoot/x", "/Library/NoSuchRoot"), Failure::denied(ENOENT));
    EXPECT_EQ(remove(dir + "/file/x", dir + "/file"), Failure::denied(ENOTDIR));
    EXPECT_EQ(remove(dir + "/nothing", kRoot), Failure::notFound());
    EXPECT_EQ(remove(dir + "/nothing/deeper/x", kRoot), Failure::notFound());
    EXPECT_TRUE(exists(dir + "/file"));
}

TEST_F(SafeRemovalTest, TheRootsOwnLinksAreFollowed) {
    // /var is a link; the root is the one place where that is fine.
    planted.directory("/var/folders/ab/xyz/C/x");
    EXPECT_EQ(remove("/var/folders/ab/xyz/C/x", "/var/folders"), std::nullopt);
    EXPECT_FALSE(exists("/private/var/folders/ab/xyz/C/x"));
    EXPECT_TRUE(exists("/private/var/folders/ab/xyz/C"));
}

TEST_F(SafeRemovalTest, RemovesExactlyTheClientsSpelling) {
    const std::string dir = victim("unicode");
    const std::string composed = dir + "/caf\xC3\xA9";
    const std::string decomposed = dir + "/cafe\xCC\x81";
    planted.file(composed, "composed");
    planted.file(decomposed, "decomposed");
    EXPECT_EQ(remove(decomposed, kRoot), std::nullopt);
    EXPECT_FALSE(exists(decomposed));
    EXPECT_EQ(test::readFile(composed), "composed");
    ASSERT_EQ(::unlink(composed.c_str()), 0);
    // The root is opened as the root is spelled and the names below it as
    // the path spells them; the two need only be canonically equal.
    planted.directory(decomposed + "/x");
    EXPECT_EQ(remove(composed + "/x", decomposed), std::nullopt);
    EXPECT_FALSE(exists(decomposed + "/x"));
    EXPECT_EQ(remove(composed + "/x", dir + "/cafe"), Failure::outsideRoot());
}

TEST_F(SafeRemovalTest, AHardLinkGoesAndTheOutsideFileStaysWithOneLinkLess) {
    const std::string dir = victim("hardlinks");
    struct stat before {};
    ASSERT_EQ(::stat(canary("file").c_str(), &before), 0);
    ASSERT_EQ(::link(canary("file").c_str(), (dir + "/linked").c_str()), 0);
    struct stat linked {};
    ASSERT_EQ(::stat(canary("file").c_str(), &linked), 0);
    ASSERT_EQ(linked.st_nlink, before.st_nlink + 1);
    EXPECT_EQ(remove(dir, kRoot), std::nullopt);
    struct stat after {};
    ASSERT_EQ(::stat(canary("file").c_str(), &after), 0);
    EXPECT_EQ(after.st_nlink, linked.st_nlink - 1);
    EXPECT_EQ(test::readFile(canary("file")), "canary contents");
}

TEST_F(SafeRemovalTest, AProtectedFileLeafIsReportedAsEscapeAndKept) {
    const std::string dir = victim("protected");
    planted.file(dir + "/locked", "locked");
    ImmutableMark mark(dir + "/locked");
    if (!mark.ok()) GTEST_SKIP() << "this file system keeps no immutable flag";
    EXPECT_EQ(remove(dir + "/locked", kRoot), Failure::escapedRoot("locked"));
    EXPECT_EQ(test::readFile(dir + "/locked"), "locked");
}

TEST_F(SafeRemovalTest, AnEntryThatCannotGoIsKeptAndEverythingElseGoes) {
    const std::string dir = victim("partial");
    test::buildTree(dir + "/sub", 2, 2);
    planted.file(dir + "/a");
    planted.directory(dir + "/busy");
    planted.file(dir + "/z");
    MountedOn mount(dir + "/busy");
    ASSERT_TRUE(mount.ok()) << "mounting needs the sandbox's private namespace";
    EXPECT_EQ(remove(dir, kRoot), Failure::denied(EBUSY));
    EXPECT_EQ(listing(dir), std::vector<std::string>{"busy"});
}

TEST_F(SafeRemovalTest, AnEscapeAmongEntriesKeepsTheDirectoryAndTheFirstFailureWins) {
    const std::string dir = victim("first");
    planted.file(dir + "/a");
    planted.directory(dir + "/busy");
    planted.file(dir + "/locked");
    planted.directory(dir + "/sub/deeper");
    planted.file(dir + "/z");
    MountedOn mount(dir + "/busy");
    ASSERT_TRUE(mount.ok());
    ImmutableMark mark(dir + "/locked");
    if (!mark.ok()) GTEST_SKIP() << "this file system keeps no immutable flag";
    // Entries are met in the directory's own order; the first failure met
    // is the one reported.
    std::optional<Failure> expected;
    for (const std::string& name : listing(dir)) {
        if (name == "busy") expected = Failure::denied(EBUSY);
        if (name == "locked") expected = Failure::escapedRoot("locked");
        if (expected) break;
    }
    EXPECT_EQ(remove(dir, kRoot), expected);
    std::vector<std::string> left = listing(dir);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"busy", "locked"}));
}

TEST_F(SafeRemovalTest, AnEscapeDeepInsideIsReportedByEveryEnclosingDirectory) {
    const std::string dir = victim("nested-escape");
    planted.file(dir + "/outer/inner/locked");
    planted.file(dir + "/outer/inner/other");
    planted.file(dir + "/outer/sibling");
    ImmutableMark mark(dir + "/outer/inner/locked");
    if (!mark.ok()) GTEST_SKIP() << "this file system keeps no immutable flag";
    EXPECT_EQ(remove(dir, kRoot), Failure::escapedRoot("locked"));
    EXPECT_TRUE(exists(dir + "/outer/inner/locked"));
    EXPECT_FALSE(exists(dir + "/outer/inner/other"));
    EXPECT_FALSE(exists(dir + "/outer/sibling"));
}

TEST_F(SafeRemovalTest, OpenParentReachesTheLeafsParentTheSameWay) {
    const std::string dir = victim("parent");
    planted.file(dir + "/a/leaf", "leaf");
    {
        auto opened = openParent(dir + "/a/leaf", kRoot);
        ASSERT_TRUE(std::holds_alternative<OpenParent>(opened));
        const OpenParent& parent = std::get<OpenParent>(opened);
        EXPECT_EQ(parent.leaf, "leaf");
        struct stat viaDescriptor {};
        struct stat viaPath {};
        ASSERT_EQ(::fstatat(parent.parent.get(), parent.leaf.c_str(), &viaDescriptor, AT_SYMLINK_NOFOLLOW), 0);
        ASSERT_EQ(::lstat((dir + "/a/leaf").c_str(), &viaPath), 0);
        EXPECT_EQ(viaDescriptor.st_ino, viaPath.st_ino);
    }
    {
        // A single name below the root: the parent is the root itself.
        auto opened = openParent(dir, kRoot);
        ASSERT_TRUE(std::holds_alternative<OpenParent>(opened));
        struct stat viaDescriptor {};
        struct stat root {};
        ASSERT_EQ(::fstat(std::get<OpenParent>(opened).parent.get(), &viaDescriptor), 0);
        ASSERT_EQ(::stat(kRoot, &root), 0);
        EXPECT_EQ(viaDescriptor.st_ino, root.st_ino);
    }
    planted.link(dir + "/a", dir + "/alias");
    auto refused = openParent(dir + "/alias/leaf", kRoot);
    ASSERT_TRUE(std::holds_alternative<Failure>(refused));
    EXPECT_EQ(std::get<Failure>(refused), Failure::escapedRoot("alias"));
    auto outside = openParent(kRoot, kRoot);
    ASSERT_TRUE(std::holds_alternative<Failure>(outside));
    EXPECT_EQ(std::get<Failure>(outside), Failure::outsideRoot());
    auto missing = openParent(dir + "/none/leaf", kRoot);
    ASSERT_TRUE(std::holds_alternative<Failure>(missing));
    EXPECT_EQ(std::get<Failure>(missing), Failure::notFound());
    EXPECT_EQ(test::readFile(dir + "/a/leaf"), "leaf");
}

}  // namespace
}  // namespace smcd::SafeRemoval
