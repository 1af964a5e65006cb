// Runs as root inside the test sandbox, where mounts are private and cheap.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
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
    // The entry of files/ that holds what was trashed from `origin`, found
    // through its record.
    std::string entryFor(const std::string& origin) const {
        for (const auto& record : std::filesystem::directory_iterator(homeTrash("info"))) {
            const std::string entry = record.path().stem();
            if (isRecordFor(readFile(record.path()), realPath(origin.substr(0, origin.rfind('/'))) +
                                                         origin.substr(origin.rfind('/'))) &&
                exists(homeTrash("files/" + entry)))
                return entry;
        }
        return {};
    }

    NoDescriptorLeak noLeak_;
    TempDir home_;
    TempDir work_;
    FreedesktopTrash trash_{home_.path(), ::geteuid(), ::getegid()};
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

TEST_F(FreedesktopTrashTest, SameNamesAlwaysFindAFreeEntryAndAStrayItemIsNeverOverwritten) {
    // More items of one name than any fixed count of numbered names allows.
    const std::string name = "com.example.app.plist";
    for (int i = 0; i < 1005; ++i) {
        writeFile(work_ / name, std::to_string(i));
        ASSERT_TRUE(trashes(work_.path(), name)) << i;
    }
    std::set<std::string> contents;
    for (const auto& entry : std::filesystem::directory_iterator(homeTrash("files"))) {
        const std::string entryName = entry.path().filename();
        EXPECT_TRUE(entryName.starts_with("com.example.app.") && entryName.ends_with(".plist")) << entryName;
        EXPECT_TRUE(exists(homeTrash("info/" + entryName + ".trashinfo"))) << entryName;
        contents.insert(readFile(entry.path()));
    }
    EXPECT_EQ(contents.size(), 1005u);
    EXPECT_EQ(readFile(homeTrash("files/" + name)), "0");  // the first keeps its own name
    // Someone left files/report without a record: the name must not be reused.
    writeFile(homeTrash("files/report"), "older");
    writeFile(work_ / "report", "newer");
    ASSERT_TRUE(trashes(work_.path(), "report"));
    EXPECT_EQ(readFile(homeTrash("files/report")), "older");
    EXPECT_EQ(readFile(homeTrash("files/" + entryFor(work_ / "report"))), "newer");
    EXPECT_FALSE(exists(homeTrash("info/report.trashinfo")));
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
        const std::string entry = entryFor(work_ / leaf);
        EXPECT_NE(entry, leaf);
        EXPECT_EQ(readFile(homeTrash("files/" + entry)), "second") << leaf;
        EXPECT_FALSE(exists(homeTrash("files/" + leaf))) << leaf;
    }
    EXPECT_EQ(readFile(homeTrash("info/report.trashinfo")), earlierRecord);
    EXPECT_EQ(readFile(homeTrash("info/note.trashinfo")), "by hand");
}

// Another user's Trash is made in their home only, as theirs, record included.
TEST_F(FreedesktopTrashTest, AnotherUsersTrashIsMadeAsTheirsAndOnlyInAHomeOfTheirs) {
    constexpr uid_t kAnn = 501;
    constexpr gid_t kStaff = 20;
    const auto moveAs = [&](FreedesktopTrash&& trash) {
        writeFile(work_ / "item", "data");
        return bool(trash.moveToTrash(openDirectory(work_.path()).get(), "item", ""));
    };
    // Not ann's home: nothing made in it; the volume's Trash takes the item.
    ASSERT_TRUE(moveAs(FreedesktopTrash{home_.path(), kAnn, kStaff}));
    EXPECT_TRUE(isEmptyOrMissing(home_.path()));
    const std::string volumeTrash = "/.Trash-" + std::to_string(kAnn);
    EXPECT_EQ(readFile(volumeTrash + "/files/item"), "data");
    std::filesystem::remove_all(volumeTrash);
    ASSERT_EQ(::chown(home_.path().c_str(), kAnn, kStaff), 0);
    ASSERT_TRUE(moveAs(FreedesktopTrash{home_.path(), kAnn, kStaff}));
    EXPECT_EQ(readFile(homeTrash("files/item")), "data");
    for (const char* part : {"../..", "..", "", "files", "info", "info/item.trashinfo"}) {
        struct stat info{};
        ASSERT_EQ(::lstat(homeTrash(part).c_str(), &info), 0) << part;
        EXPECT_EQ(info.st_uid, kAnn) << part;
        EXPECT_EQ(info.st_gid, kStaff) << part;
        EXPECT_EQ(info.st_mode & (S_IRWXG | S_IRWXO), 0u) << part;
    }
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
