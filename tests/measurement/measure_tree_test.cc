// The walk itself, on trees in a temporary folder.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "measurement/tree_fixture.h"
#include "removal/measurement.h"
#include "removal/test_hooks.h"
#include "support/descriptors.h"
#include "support/temp_dir.h"

namespace {

using smcd::UniqueFd;
using smcd::PrivilegedRemoval::measureTree;
using smcd::test::findTotals;
using smcd::test::makeDirectories;
using smcd::test::makeLink;
using smcd::test::TempDir;
using smcd::test::writeFile;
using smcd::test::writeSized;
using Totals = std::pair<std::int64_t, std::int64_t>;

// Runs `work` in a child process (whose limits or identity the test changes)
// and brings its totals back through a pipe.
Totals inChild(const std::function<Totals()>& work) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        readEnd.reset();
        const Totals totals = work();
        const std::int64_t out[2] = {totals.first, totals.second};
        const bool written = ::write(writeEnd.get(), out, sizeof out) == static_cast<ssize_t>(sizeof out);
        ::_exit(written ? 0 : 1);
    }
    writeEnd.reset();
    std::int64_t in[2] = {-1, -1};
    const ssize_t got = ::read(readEnd.get(), in, sizeof in);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (got != static_cast<ssize_t>(sizeof in) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("child failed");
    return {in[0], in[1]};
}

std::int64_t allocatedBytes(const std::string& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) throw std::runtime_error("lstat " + path);
    return static_cast<std::int64_t>(info.st_blocks) * 512;
}

class MeasureTreeTest : public ::testing::Test {
protected:
    void SetUp() override { descriptorsBefore_ = smcd::test::openDescriptorCount(); }
    void TearDown() override {
        smcd::removal_hooks::clearAll();
        EXPECT_EQ(smcd::test::openDescriptorCount(), descriptorsBefore_);
    }

    TempDir tree_;

private:
    std::size_t descriptorsBefore_ = 0;
};

TEST_F(MeasureTreeTest, AgreesWithFindOnAMixedTree) {
    // Sizes around block edges, hidden entries, a bundle's contents, hard
    // links (once per link), links of every kind (neither followed nor
    // counted), a fifo and empty directories: find sees the same.
    TempDir outside;
    writeSized(outside / "big", 100000);
    for (const char* dir : {"Some.app/Contents/MacOS", ".hidden/deeper/still", "a/b/c/d/e", "empty1/empty2/empty3"})
        makeDirectories(tree_ / dir);
    const std::pair<const char*, std::size_t> files[] = {
        {"empty", 0}, {"one", 1}, {"block", 4096}, {"block-and-one", 4097}, {"Some.app/Contents/MacOS/Some", 70000},
        {".hidden/.dotfile", 10}, {".hidden/deeper/still/x", 20000}, {"a/b/c/d/e/leaf", 5}};
    for (const auto& [name, size] : files) writeSized(tree_ / name, size);
    ASSERT_EQ(::link((tree_ / "block").c_str(), (tree_ / "a/second").c_str()), 0);
    ASSERT_EQ(::mkfifo((tree_ / "fifo").c_str(), 0600), 0);
    makeLink(outside.path(), tree_ / "to-directory");
    makeLink(outside / "big", tree_ / "to-file");
    makeLink(tree_.path(), tree_ / "a/loop");
    makeLink("/nonexistent", tree_ / "dangling");
    const Totals measured = measureTree(tree_.path());
    EXPECT_EQ(measured, findTotals(tree_.path()));
    EXPECT_EQ(measured.second, 9);
    EXPECT_EQ(measureTree(tree_ / "empty1"), Totals(0, 0));
}

TEST_F(MeasureTreeTest, ThePathItselfIsNeverCounted) {
    writeSized(tree_ / "file", 50000);
    makeDirectories(tree_ / "real");
    writeSized(tree_ / "real/inside", 50000);
    makeLink(tree_ / "real", tree_ / "link-to-real");
    makeDirectories(tree_ / "via");
    makeLink(tree_ / "real", tree_ / "via/step");

    // A file, a missing path, or a path that is, or passes through, a link the
    // system did not make measures nothing: it may have been swapped after
    // screening.
    for (const std::string& path : {tree_ / "file", tree_ / "missing", tree_ / "link-to-real", tree_ / "via/step/inside",
                                    tree_ / "real/../real", std::string("relative/path"), std::string()})
        EXPECT_EQ(measureTree(path), Totals(0, 0)) << path;
    EXPECT_EQ(measureTree(tree_ / "real"), findTotals(tree_ / "real"));
}

TEST_F(MeasureTreeTest, UnreadableDirectoriesAreSkippedAndTheWalkGoesOn) {
    makeDirectories(tree_ / "open/more");
    makeDirectories(tree_ / "closed/secret");
    writeSized(tree_ / "open/a", 3000);
    writeSized(tree_ / "open/more/b", 3000);
    writeSized(tree_ / "closed/secret/c", 3000);
    writeSized(tree_ / "top", 3000);
    ASSERT_EQ(::chmod((tree_ / "closed").c_str(), 0700), 0);
    ASSERT_EQ(::chmod(tree_.path().c_str(), 0755), 0);
    const std::int64_t each = allocatedBytes(tree_ / "top");
    const Totals measured = inChild([&] {
        // Someone who cannot enter "closed" measures the tree.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        return measureTree(tree_.path());
    });
    EXPECT_EQ(measured, Totals(3 * each, 3));
}

TEST_F(MeasureTreeTest, TreesDeeperThanTheDescriptorLimitAreWalkedWhole) {
    // Built by descriptors: the deepest path is far longer than PATH_MAX.
    constexpr int kDepth = 600;  // ten times the descriptor limit set below
    std::int64_t expectedBytes = 0;
    {
        UniqueFd level(::open(tree_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int i = 0; i < kDepth; ++i) {
            UniqueFd file(::openat(level.get(), "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
            ASSERT_TRUE(file);
            ASSERT_EQ(::write(file.get(), "data", 4), 4);
            struct stat info{};
            ASSERT_EQ(::fstat(file.get(), &info), 0);
            expectedBytes += static_cast<std::int64_t>(info.st_blocks) * 512;
            // A side branch at every level, visited before or after the deep
            // chain depending on directory order: either way some level must
            // be found again after giving up its descriptor.
            ASSERT_EQ(::mkdirat(level.get(), "side", 0755), 0);
            ASSERT_EQ(::mkdirat(level.get(), "d", 0755), 0);
            level.reset(::openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(level);
        }
    }
    const Totals measured = inChild([&] {
        const rlimit low{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &low) != 0) ::_exit(2);
        return measureTree(tree_.path());
    });
    EXPECT_EQ(measured, Totals(expectedBytes, kDepth));
    // And in this process, where the limit is high, the same answer.
    EXPECT_EQ(measureTree(tree_.path()), measured);
}

TEST_F(MeasureTreeTest, ADirectorySwappedForALinkDuringTheWalkIsNotEntered) {
    TempDir secret;
    writeSized(secret / "private-data", 200000);
    makeDirectories(tree_ / "cache/inner");
    writeSized(tree_ / "cache/inner/kept", 100);
    writeSized(tree_ / "cache/own", 100);
    // Once the walk has listed "cache" and is about to enter "inner", the
    // peer replaces "inner" with a link to a place only root may read.
    bool swapped = false;
    smcd::removal_hooks::ScopedHook hook(smcd::removal_hooks::Point::betweenComponents,
                                         [&](const smcd::removal_hooks::Site& site) {
                                             if (site.name != "inner" || swapped) return;
                                             swapped = true;
                                             std::filesystem::rename(tree_ / "cache/inner", tree_ / "moved-away");
                                             makeLink(secret.path(), tree_ / "cache/inner");
                                         });
    const Totals measured = measureTree(tree_ / "cache");
    EXPECT_TRUE(swapped);
    EXPECT_EQ(measured, Totals(allocatedBytes(tree_ / "cache/own"), 1));
}

TEST_F(MeasureTreeTest, ALevelThatGaveUpItsDescriptorAndMovedIsSkippedNotFollowed) {
    // A chain deep enough that the upper levels give up their descriptors.
    // While the walk is far below, the peer moves one of those levels away
    // and puts a look-alike in its place, whose "sibling" is a link to a
    // secret or a directory of its own. Neither is walked on the way back
    // up: the look-alike is not the directory that was listed, and the moved
    // one is no longer below the measured path.
    TempDir secret;
    writeSized(secret / "private-data", 200000);
    for (const bool linkToSecret : {true, false}) {
        SCOPED_TRACE(linkToSecret ? "sibling links to a secret" : "sibling is the look-alike's own");
        const std::string top = tree_ / "top";
        std::string path = top;
        std::string swappedLevel;
        for (int i = 0; i < 60; ++i) {
            makeDirectories(path + "/z");
            if (i == 2) swappedLevel = path;
            path += "/z";
        }
        makeDirectories(swappedLevel + "/sibling");
        writeSized(swappedLevel + "/sibling/kept", 100);
        writeSized(path + "/deepest", 100);
        // Listed while the walk was still in it (it moves along, open, with its level).
        const std::int64_t deepestBytes = allocatedBytes(path + "/deepest");

        bool swapped = false;
        smcd::removal_hooks::ScopedHook hook(
            smcd::removal_hooks::Point::betweenComponents, [&](const smcd::removal_hooks::Site& site) {
                if (swapped || site.index < 50) return;
                swapped = true;
                std::filesystem::rename(swappedLevel, tree_ / "elsewhere");
                makeDirectories(swappedLevel);
                if (linkToSecret) {
                    makeLink(secret.path(), swappedLevel + "/sibling");
                } else {
                    makeDirectories(swappedLevel + "/sibling");
                    writeSized(swappedLevel + "/sibling/planted", 100000);
                }
            });
        const Totals measured = measureTree(tree_.path());
        EXPECT_TRUE(swapped);
        EXPECT_EQ(measured, Totals(deepestBytes, 1));
        std::filesystem::remove_all(top);
        std::filesystem::remove_all(tree_ / "elsewhere");
    }
}

}  // namespace
