// Runs as root inside the test sandbox, where mounts are private and cheap.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "platform/trash/linux/freedesktop_trash.h"
#include "support/descriptors.h"
#include "support/temp_dir.h"
#include "support/tree.h"

namespace smcd::test {
namespace {

using platform::FreedesktopTrash;

UniqueFd openDirectory(const std::string& path) { return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

std::string realPath(const std::string& path) { return std::filesystem::canonical(path).string(); }

mode_t modeOf(const std::string& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

bool isEmptyOrMissing(const std::string& directory) {
    std::error_code error;
    return !std::filesystem::exists(directory, error) || std::filesystem::is_empty(directory, error);
}

// The record's group and escaped origin; its date is the naming unit's.
bool isRecordFor(const std::string& record, const std::string& encodedPath) {
    return record.starts_with("[Trash Info]\nPath=" + encodedPath + "\nDeletionDate=") && record.ends_with("\n");
}

class FreedesktopTrashTest : public ::testing::Test {
protected:
    std::string homeTrash(const std::string& part) const { return home_ / (".local/share/Trash/" + part); }
    bool trashes(const std::string& directory, const std::string& name) {
        return bool(trash_.moveToTrash(openDirectory(directory).get(), name, ""));
    }

    NoDescriptorLeak noLeak_;
    TempDir home_;
    TempDir work_;
    FreedesktopTrash trash_{home_.path(), ::geteuid()};
};

TEST_F(FreedesktopTrashTest, ItemOnTheHomeFileSystemGoesToTheHomeTrashWithARecordAndALinkAsItself) {
    std::filesystem::create_directories(work_ / "docs");
    writeFile(work_ / "docs/a b.txt", "contents");
    EXPECT_TRUE(trash_.moveToTrash(openDirectory(work_ / "docs").get(), "a b.txt", "/not/where/it/was"));
    EXPECT_FALSE(exists(work_ / "docs/a b.txt"));
    EXPECT_EQ(readFile(homeTrash("files/a b.txt")), "contents");
    const std::string record = readFile(homeTrash("info/a b.txt.trashinfo"));
    EXPECT_TRUE(isRecordFor(record, realPath(work_ / "docs") + "/a%20b.txt")) << record;
    // The Trash is private to its owner.
    for (const char* part : {"", "files", "info"}) EXPECT_EQ(modeOf(homeTrash(part)) & 07777, 0700u) << part;
    // A link goes as the link itself, never what it points at.
    TempDir outside;
    writeFile(outside / "precious", "keep");
    makeLink(outside.path(), work_ / "link");
    ASSERT_TRUE(trashes(work_.path(), "link"));
    EXPECT_TRUE(S_ISLNK(modeOf(homeTrash("files/link"))));
    EXPECT_EQ(readFile(outside / "precious"), "keep");
}

TEST_F(FreedesktopTrashTest, SameNamesGetUniqueEntriesAndAStrayItemIsNeverOverwritten) {
    for (const std::string place : {"one", "two"}) {
        std::filesystem::create_directories(work_ / (place + "/Some.app/Contents"));
        writeFile(work_ / (place + "/Some.app/Contents/marker"), place);
        ASSERT_TRUE(trashes(work_ / place, "Some.app")) << place;
    }
    EXPECT_EQ(readFile(homeTrash("files/Some.app/Contents/marker")), "one");
    EXPECT_EQ(readFile(homeTrash("files/Some.2.app/Contents/marker")), "two");
    EXPECT_NE(readFile(homeTrash("info/Some.2.app.trashinfo")).find(realPath(work_.path()) + "/two/Some.app\n"),
              std::string::npos);
    // Someone left files/report without a record: the name must not be reused.
    writeFile(homeTrash("files/report"), "older");
    writeFile(work_ / "report", "newer");
    ASSERT_TRUE(trashes(work_.path(), "report"));
    EXPECT_EQ(readFile(homeTrash("files/report")), "older");
    EXPECT_EQ(readFile(homeTrash("files/report.2")), "newer");
    EXPECT_FALSE(exists(homeTrash("info/report.trashinfo")));
    EXPECT_TRUE(exists(homeTrash("info/report.2.trashinfo")));
}

// A record whose item is gone (renamed inside the Trash since, or written
// by hand) still holds its name: overwriting it would make the earlier item
// unrestorable.
TEST_F(FreedesktopTrashTest, AnExistingRecordKeepsItsNameAndItsText) {
    writeFile(work_ / "report", "first");
    ASSERT_TRUE(trashes(work_.path(), "report"));
    std::filesystem::rename(homeTrash("files/report"), homeTrash("files/renamed"));
    writeFile(homeTrash("info/note.trashinfo"), "by hand");
    const std::string earlierRecord = readFile(homeTrash("info/report.trashinfo"));
    for (const std::string leaf : {"report", "note"}) {
        writeFile(work_ / leaf, "second");
        ASSERT_TRUE(trashes(work_.path(), leaf)) << leaf;
        EXPECT_EQ(readFile(homeTrash("files/" + leaf + ".2")), "second") << leaf;
        EXPECT_TRUE(exists(homeTrash("info/" + leaf + ".2.trashinfo"))) << leaf;
        EXPECT_FALSE(exists(homeTrash("files/" + leaf))) << leaf;
    }
    EXPECT_EQ(readFile(homeTrash("info/report.trashinfo")), earlierRecord);
    EXPECT_EQ(readFile(homeTrash("info/note.trashinfo")), "by hand");
}

TEST_F(FreedesktopTrashTest, AFailedMoveReportsItsErrnoAndLeavesNoRecord) {
    // A mount point cannot be renamed: the record written before must go.
    const ScopedMount mount(work_ / "busy");
    const std::pair<const char*, int> cases[] = {{"busy", EBUSY}, {"ghost", ENOENT}, {"..", EINVAL}};
    for (const auto& [name, code] : cases) {
        const auto moved = trash_.moveToTrash(openDirectory(work_.path()).get(), name, "");
        ASSERT_FALSE(moved) << name;
        EXPECT_EQ(moved.error().code, code) << name;
    }
    EXPECT_EQ(trash_.moveToTrash(openDirectory(work_.path()).get(), "ghost", "").error().description,
              "\"ghost\" could not be moved to the Trash: No such file or directory.");
    EXPECT_TRUE(isEmptyOrMissing(homeTrash("info")));
    EXPECT_TRUE(exists(work_ / "busy"));
}

// An item on another mount goes to that volume's own Trash, but only one
// that is a real directory private to the user.
TEST_F(FreedesktopTrashTest, AnItemOnAnotherMountGoesToThatVolumesPrivateTrash) {
    const ScopedMount volume(work_ / "volume");
    std::filesystem::create_directories(work_ / "volume/sub");
    writeFile(work_ / "volume/sub/item", "data");
    const std::string volumeTrash = work_ / ("volume/.Trash-" + std::to_string(::geteuid()));
    TempDir elsewhere;
    const std::pair<std::function<void()>, std::vector<int>> refusals[] = {
        {[&] { makeLink(elsewhere.path(), volumeTrash); }, {ELOOP, ENOTDIR}},
        {[&] { std::filesystem::create_directory(volumeTrash); ASSERT_EQ(::chown(volumeTrash.c_str(), 501, 20), 0); }, {EPERM}},
        {[&] { std::filesystem::create_directory(volumeTrash); ASSERT_EQ(::chmod(volumeTrash.c_str(), 01777), 0); }, {EPERM}},
    };
    for (const auto& [plant, codes] : refusals) {
        plant();
        const auto moved = trash_.moveToTrash(openDirectory(work_ / "volume/sub").get(), "item", "");
        ASSERT_FALSE(moved);
        EXPECT_NE(std::find(codes.begin(), codes.end(), moved.error().code), codes.end()) << moved.error().code;
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
        std::filesystem::remove_all(volumeTrash);
    }
    ASSERT_TRUE(trashes(work_ / "volume/sub", "item"));
    EXPECT_EQ(readFile(volumeTrash + "/files/item"), "data");
    EXPECT_EQ(modeOf(volumeTrash) & 07777, 0700u);
    // Relative to the volume's top, so it stays true wherever it is mounted.
    EXPECT_TRUE(isRecordFor(readFile(volumeTrash + "/info/item.trashinfo"), "sub/item"));
    EXPECT_TRUE(isEmptyOrMissing(homeTrash("files")));
}

}  // namespace
}  // namespace smcd::test
