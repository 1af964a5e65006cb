// Runs as root inside the test sandbox, where mounts are private and cheap.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "platform/trash/linux/freedesktop_trash.h"
#include "platform/trash/trash_can.h"
#include "support/descriptors.h"
#include "support/temp_dir.h"

namespace {

using smcd::UniqueFd;
using smcd::platform::FreedesktopTrash;
using smcd::test::exists;
using smcd::test::readFile;
using smcd::test::TempDir;
using smcd::test::writeFile;

UniqueFd openDirectory(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throw std::runtime_error("cannot open " + path);
    return fd;
}

void makeDirectory(const std::string& path) { std::filesystem::create_directories(path); }

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) throw std::runtime_error("cannot resolve " + path);
    return buffer;
}

mode_t modeOf(const std::string& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

bool isEmptyOrMissing(const std::string& directory) {
    std::error_code error;
    return !std::filesystem::exists(directory, error) || std::filesystem::is_empty(directory, error);
}

// A file system mounted for one test and gone with it: a tmpfs, or `from` bound.
struct ScopedMount {
    ScopedMount(const std::string& at, const char* from = nullptr) : at(at) {
        makeDirectory(at);
        if (::mount(from ? from : "smcd-test", at.c_str(), from ? nullptr : "tmpfs", from ? MS_BIND : 0,
                    from ? nullptr : "mode=0755") != 0)
            throw std::runtime_error("mount " + at);
    }
    ~ScopedMount() { ::umount2(at.c_str(), MNT_DETACH); }
    ScopedMount(const ScopedMount&) = delete;
    std::string at;
};

// The whole record: the group, the escaped origin, and a local date of the
// form YYYY-MM-DDThh:mm:ss.
bool isRecordFor(const std::string& record, const std::string& encodedPath) {
    const std::string head = "[Trash Info]\nPath=" + encodedPath + "\nDeletionDate=";
    const std::string shape = "dddd-dd-ddTdd:dd:dd\n";
    if (record.size() != head.size() + shape.size() || record.compare(0, head.size(), head) != 0) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = record[head.size() + i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return false;
    }
    return true;
}

class FreedesktopTrashTest : public ::testing::Test {
protected:
    void SetUp() override { descriptorsBefore_ = smcd::test::openDescriptorCount(); }
    void TearDown() override { EXPECT_EQ(smcd::test::openDescriptorCount(), descriptorsBefore_); }

    std::string homeTrash(const std::string& part) const { return home_ / (".local/share/Trash/" + part); }

    TempDir home_;
    TempDir work_;
    FreedesktopTrash trash_{home_.path(), ::geteuid()};

private:
    std::size_t descriptorsBefore_ = 0;
};

TEST_F(FreedesktopTrashTest, ItemOnTheHomeFileSystemGoesToTheHomeTrashWithARecord) {
    makeDirectory(work_ / "docs");
    writeFile(work_ / "docs/a b.txt", "contents");
    const std::string origin = realPath(work_ / "docs") + "/a b.txt";
    {
        const UniqueFd parent = openDirectory(work_ / "docs");
        EXPECT_TRUE(trash_.moveToTrash(parent.get(), "a b.txt", "/not/where/it/was"));
    }
    EXPECT_FALSE(exists(work_ / "docs/a b.txt"));
    EXPECT_EQ(readFile(homeTrash("files/a b.txt")), "contents");
    std::string encoded = origin;
    encoded.replace(encoded.find(' '), 1, "%20");
    EXPECT_TRUE(isRecordFor(readFile(homeTrash("info/a b.txt.trashinfo")), encoded))
        << readFile(homeTrash("info/a b.txt.trashinfo"));
    // The Trash is private to its owner.
    for (const char* part : {"", "files", "info"}) EXPECT_EQ(modeOf(homeTrash(part)) & 07777, 0700u) << part;
}

TEST_F(FreedesktopTrashTest, SameNamesGetUniqueEntriesAndAStrayItemIsNeverOverwritten) {
    for (const char* place : {"one", "two"}) {
        makeDirectory(work_ / (std::string(place) + "/Some.app/Contents"));
        writeFile(work_ / (std::string(place) + "/Some.app/Contents/marker"), place);
        const UniqueFd parent = openDirectory(work_ / place);
        ASSERT_TRUE(trash_.moveToTrash(parent.get(), "Some.app", "")) << place;
    }
    EXPECT_EQ(readFile(homeTrash("files/Some.app/Contents/marker")), "one");
    EXPECT_EQ(readFile(homeTrash("files/Some.2.app/Contents/marker")), "two");
    EXPECT_NE(readFile(homeTrash("info/Some.2.app.trashinfo")).find(realPath(work_.path()) + "/two/Some.app\n"),
              std::string::npos);
    // Someone left files/report without a record: the name must not be reused.
    writeFile(homeTrash("files/report"), "older");
    writeFile(work_ / "report", "newer");
    const UniqueFd parent = openDirectory(work_.path());
    ASSERT_TRUE(trash_.moveToTrash(parent.get(), "report", ""));
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
    const UniqueFd parent = openDirectory(work_.path());
    ASSERT_TRUE(trash_.moveToTrash(parent.get(), "report", ""));
    std::filesystem::rename(homeTrash("files/report"), homeTrash("files/renamed"));
    makeDirectory(homeTrash("info"));
    writeFile(homeTrash("info/note.trashinfo"), "by hand");
    const std::string earlierRecord = readFile(homeTrash("info/report.trashinfo"));
    for (const char* leaf : {"report", "note"}) {
        writeFile(work_ / leaf, "second");
        ASSERT_TRUE(trash_.moveToTrash(parent.get(), leaf, "")) << leaf;
        EXPECT_EQ(readFile(homeTrash("files/" + std::string(leaf) + ".2")), "second") << leaf;
        EXPECT_TRUE(exists(homeTrash("info/" + std::string(leaf) + ".2.trashinfo"))) << leaf;
        EXPECT_FALSE(exists(homeTrash("files/" + std::string(leaf)))) << leaf;
    }
    EXPECT_EQ(readFile(homeTrash("info/report.trashinfo")), earlierRecord);
    EXPECT_EQ(readFile(homeTrash("info/note.trashinfo")), "by hand");
}

TEST_F(FreedesktopTrashTest, ASymbolicLinkIsMovedAsTheLinkItself) {
    TempDir outside;
    writeFile(outside / "precious", "keep");
    ASSERT_EQ(::symlink(outside.path().c_str(), (work_ / "link").c_str()), 0);
    const UniqueFd parent = openDirectory(work_.path());
    ASSERT_TRUE(trash_.moveToTrash(parent.get(), "link", ""));
    EXPECT_TRUE(S_ISLNK(modeOf(homeTrash("files/link"))));
    EXPECT_EQ(readFile(outside / "precious"), "keep");
    EXPECT_FALSE(exists(work_ / "link"));
}

TEST_F(FreedesktopTrashTest, AFailedMoveReportsItsErrnoAndLeavesNoRecord) {
    // A mount point cannot be renamed: the record written before must go.
    makeDirectory(work_ / "a/b");
    const ScopedMount mount(work_ / "busy");
    const UniqueFd parent = openDirectory(work_.path());
    const std::pair<const char*, int> cases[] = {{"ghost", ENOENT}, {"busy", EBUSY}, {"", EINVAL},
                                                 {".", EINVAL},     {"..", EINVAL},  {"a/b", EINVAL}};
    for (const auto& [name, code] : cases) {
        const auto moved = trash_.moveToTrash(parent.get(), name, "");
        ASSERT_FALSE(moved) << name;
        EXPECT_EQ(moved.error().code, code) << name;
    }
    EXPECT_EQ(trash_.moveToTrash(parent.get(), "ghost", "").error().description,
              "\"ghost\" could not be moved to the Trash: No such file or directory.");
    EXPECT_TRUE(isEmptyOrMissing(homeTrash("info")));
    EXPECT_TRUE(isEmptyOrMissing(homeTrash("files")));
    EXPECT_TRUE(exists(work_ / "busy"));
    EXPECT_TRUE(exists(work_ / "a/b"));
}

TEST_F(FreedesktopTrashTest, AnItemOnAnotherMountGoesToThatVolumesTrash) {
    // A tmpfs is another device; a bind mount shares the home's device number,
    // yet a rename across cannot work either.
    makeDirectory(work_ / "real/sub");
    const ScopedMount volume(work_ / "volume");
    const ScopedMount bound(work_ / "bound", (work_ / "real").c_str());
    for (const char* top : {"volume", "bound"}) {
        makeDirectory(work_ / (std::string(top) + "/sub"));
        writeFile(work_ / (std::string(top) + "/sub/item"), top);
        {
            const UniqueFd parent = openDirectory(work_ / (std::string(top) + "/sub"));
            ASSERT_TRUE(trash_.moveToTrash(parent.get(), "item", "")) << top;
        }
        const std::string volumeTrash = work_ / (std::string(top) + "/.Trash-" + std::to_string(::geteuid()));
        EXPECT_EQ(readFile(volumeTrash + "/files/item"), top);
        EXPECT_EQ(modeOf(volumeTrash) & 07777, 0700u);
        // Relative to the volume's top, so it stays true wherever it is mounted.
        EXPECT_TRUE(isRecordFor(readFile(volumeTrash + "/info/item.trashinfo"), "sub/item"));
    }
    EXPECT_TRUE(isEmptyOrMissing(homeTrash("files")));
}

TEST_F(FreedesktopTrashTest, AVolumeTrashThatIsNotPrivatelyOwnedIsNotUsed) {
    const ScopedMount volume(work_ / "volume");
    writeFile(work_ / "volume/item", "data");
    const std::string trashName = work_ / ("volume/.Trash-" + std::to_string(::geteuid()));
    TempDir elsewhere;

    struct Case {
        const char* what;
        std::function<void()> plant;
        std::vector<int> codes;
    };
    const Case cases[] = {
        {"link", [&] { EXPECT_EQ(::symlink(elsewhere.path().c_str(), trashName.c_str()), 0); }, {ELOOP, ENOTDIR}},
        {"foreign owner", [&] { makeDirectory(trashName); EXPECT_EQ(::chown(trashName.c_str(), 501, 20), 0); }, {EPERM}},
        {"writable by all", [&] { makeDirectory(trashName); EXPECT_EQ(::chmod(trashName.c_str(), 01777), 0); }, {EPERM}},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(trashName);
        c.plant();
        const UniqueFd parent = openDirectory(work_ / "volume");
        const auto moved = trash_.moveToTrash(parent.get(), "item", "");
        ASSERT_FALSE(moved) << c.what;
        const int code = moved.error().code;
        EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), code), c.codes.end()) << c.what << " " << code;
        EXPECT_EQ(readFile(work_ / "volume/item"), "data") << c.what;
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path())) << c.what;
    }
    std::filesystem::remove_all(trashName);
}

TEST(SystemTrash, BelongsToTheEffectiveUsersHomeFromTheUserDatabase) {
    if (!std::getenv("SMCD_IN_SANDBOX")) GTEST_SKIP() << "needs the sandbox's user database";
    EXPECT_EQ(FreedesktopTrash::homeOf(0), "/var/root");
    EXPECT_EQ(FreedesktopTrash::homeOf(501), "/Users/ann");
    EXPECT_EQ(FreedesktopTrash::homeOf(4242), "");
}

}  // namespace
