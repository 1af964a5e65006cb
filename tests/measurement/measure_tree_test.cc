// The walk itself, on trees in a temporary folder.

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "removal/measurement.h"
#include "removal/test_hooks.h"
#include "support/descriptors.h"
#include "support/temp_dir.h"
#include "support/tree.h"

namespace smcd::test {
namespace {

using removal::measureTree;
using namespace std::chrono_literals;
using Totals = std::pair<std::int64_t, std::int64_t>;

std::int64_t allocatedBytes(const std::string& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) throw std::runtime_error("lstat " + path);
    return static_cast<std::int64_t>(info.st_blocks) * 512;
}

class MeasureTreeTest : public ::testing::Test {
protected:
    NoDescriptorLeak noLeak_;
    TempDir tree_;
};

TEST_F(MeasureTreeTest, AgreesWithFindOnAMixedTreeAndNeverCountsThePathItself) {
    // Sizes around block edges, hidden entries, a bundle's contents, hard
    // links (once per link), links of every kind (neither followed nor
    // counted), a fifo and empty directories: find sees the same, though
    // two workers count the top's subdirectories (both are inside one at
    // once, before either goes on).
    TempDir outside;
    writeSized(outside / "big", 100000);
    for (const char* dir : {"Some.app/Contents/MacOS", ".hidden/deeper/still", "a/b/c/d/e", "empty1/empty2/empty3"})
        std::filesystem::create_directories(tree_ / dir);
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
    std::mutex lock;
    std::condition_variable entered;
    int inside = 0;
    bool met = false;
    removal::hooks::ScopedHook meet(removal::hooks::Point::betweenComponents, [&](const removal::hooks::Site& site) {
        std::unique_lock<std::mutex> guard(lock);
        if (site.index != 0) return;
        if (++inside == 1) met = entered.wait_for(guard, 20s, [&] { return inside > 1; });
        entered.notify_all();
    });
    const auto measured = measureTree(tree_.path(), 0);
    EXPECT_TRUE(met) << "a second worker never entered a subdirectory";
    EXPECT_EQ(measured, findTotals(tree_.path()));
    EXPECT_EQ(measured ? measured->second : 0, 9);
    // A file, a missing path, or a path that is, or passes through, a link the
    // system did not make measures nothing: it may have been swapped after
    // screening.
    for (const std::string& path : {tree_ / "one", tree_ / "empty1", tree_ / "missing", tree_ / "to-directory",
                                    tree_ / "a/loop/one", tree_ / "a/../a", std::string("relative/path")})
        EXPECT_EQ(measureTree(path, 0), Totals(0, 0)) << path;
}

TEST_F(MeasureTreeTest, UnreadableDirectoriesAreSkippedAndTheWalkGoesOn) {
    std::filesystem::create_directories(tree_ / "open/more");
    std::filesystem::create_directories(tree_ / "closed/secret");
    for (const char* file : {"open/a", "open/more/b", "closed/secret/c", "top"}) writeSized(tree_ / file, 3000);
    ASSERT_EQ(::chmod((tree_ / "closed").c_str(), 0700), 0);
    ASSERT_EQ(::chmod(tree_.path().c_str(), 0755), 0);
    // Someone who cannot enter "closed" measures the tree.
    ::setfsuid(65534);
    const auto measured = measureTree(tree_.path(), 0);
    ::setfsuid(0);
    EXPECT_EQ(measured, Totals(3 * allocatedBytes(tree_ / "top"), 3));
}

TEST_F(MeasureTreeTest, ADirectorySwappedForALinkDuringTheWalkIsNotEntered) {
    TempDir secret;
    writeSized(secret / "private-data", 200000);
    std::filesystem::create_directories(tree_ / "cache/inner");
    writeSized(tree_ / "cache/inner/kept", 100);
    writeSized(tree_ / "cache/own", 100);
    // Once the walk has listed "cache" and is about to enter "inner", the
    // peer replaces "inner" with a link to a place only root may read.
    bool swapped = false;
    removal::hooks::ScopedHook hook(removal::hooks::Point::betweenComponents, [&](const removal::hooks::Site& site) {
        if (site.name != "inner" || swapped) return;
        swapped = true;
        std::filesystem::rename(tree_ / "cache/inner", tree_ / "moved-away");
        makeLink(secret.path(), tree_ / "cache/inner");
    });
    EXPECT_EQ(measureTree(tree_ / "cache", 0), Totals(allocatedBytes(tree_ / "cache/own"), 1));
    EXPECT_TRUE(swapped);
}

}  // namespace
}  // namespace smcd::test
