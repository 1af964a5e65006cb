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
#include "platform/trash/freedesktop_trash.h"
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

void makeDirectory(const std::string& path) {
    std::filesystem::create_directories(path);
}

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) throw std::runtime_error("cannot resolve " + path);
    return buffer;
}

mode_t modeOf(const std::string& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_mode;
}

bool isEmptyOrMissing(const std::string& directory) {
    std::error_code error;
    if (!std::filesystem::exists(directory, error)) return true;
    return std::filesystem::is_empty(directory, error);
}

// A file system mounted for one test and gone with it.
class ScopedMount {
public:
    static ScopedMount tmpfs(const std::string& at) {
        makeDirectory(at);
        if (::mount("smcd-test", at.c_str(), "tmpfs", 0, "mode=0755") != 0) throw std::runtime_error("mount");
        return ScopedMount(at);
    }
    static ScopedMount bind(const std::string& from, const std::string& at) {
        makeDirectory(at);
        if (::mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) throw std::runtime_error("bind");
        return ScopedMount(at);
    }
    ScopedMount(ScopedMount&& other) noexcept : at_(std::exchange(other.at_, {})) {}
    ScopedMount(const ScopedMount&) = delete;
    ~ScopedMount() {
        if (!at_.empty()) ::umount2(at_.c_str(), MNT_DETACH);
    }

private:
    explicit ScopedMount(std::string at) : at_(std::move(at)) {}
    std::string at_;
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
        EXPECT_EQ(trash_.moveToTrash(parent.get(), "a b.txt", "/not/where/it/was"), std::nullopt);
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

TEST_F(FreedesktopTrashTest, SameNamesFromTwoPlacesAreKeptApart) {
    for (const char* place : {"one", "two"}) {
        makeDirectory(work_ / (std::string(place) + "/Some.app/Contents"));
        writeFile(work_ / (std::string(place) + "/Some.app/Contents/marker"), place);
        const UniqueFd parent = openDirectory(work_ / place);
        ASSERT_EQ(trash_.moveToTrash(parent.get(), "Some.app", ""), std::nullopt) << place;
    }
    EXPECT_EQ(readFile(homeTrash("files/Some.app/Contents/marker")), "one");
    EXPECT_EQ(readFile(homeTrash("files/Some.2.app/Contents/marker")), "two");
    EXPECT_NE(readFile(homeTrash("info/Some.app.trashinfo")).find(realPath(work_.path()) + "/one/Some.app\n"),
              std::string::npos);
    EXPECT_NE(readFile(homeTrash("info/Some.2.app.trashinfo")).find(realPath(work_.path()) + "/two/Some.app\n"),
              std::string::npos);
}

TEST_F(FreedesktopTrashTest, AStrayItemWithoutRecordIsNeverOverwritten) {
    // Someone left files/report without a record: the name must not be reused.
    makeDirectory(homeTrash("files"));
    makeDirectory(homeTrash("info"));
    ::chmod(homeTrash("").c_str(), 0700);
    ::chmod(homeTrash("files").c_str(), 0700);
    ::chmod(homeTrash("info").c_str(), 0700);
    writeFile(homeTrash("files/report"), "older");
    writeFile(work_ / "report", "newer");
    const UniqueFd parent = openDirectory(work_.path());
    ASSERT_EQ(trash_.moveToTrash(parent.get(), "report", ""), std::nullopt);
    EXPECT_EQ(readFile(homeTrash("files/report")), "older");
    EXPECT_EQ(readFile(homeTrash("files/report.2")), "newer");
    EXPECT_FALSE(exists(homeTrash("info/report.trashinfo")));
    EXPECT_TRUE(exists(homeTrash("info/report.2.trashinfo")));
}

TEST_F(FreedesktopTrashTest, ASymbolicLinkIsMovedAsTheLinkItself) {
    TempDir outside;
    writeFile(outside / "precious", "keep");
    ASSERT_EQ(::symlink(outside.path().c_str(), (work_ / "link").c_str()), 0);
    const UniqueFd parent = openDirectory(work_.path());
    ASSERT_EQ(trash_.moveToTrash(parent.get(), "link", ""), std::nullopt);
    EXPECT_TRUE(S_ISLNK(modeOf(homeTrash("files/link"))));
    EXPECT_EQ(readFile(outside / "precious"), "keep");
    EXPECT_FALSE(exists(work_ / "link"));
}

TEST_F(FreedesktopTrashTest, AMissingItemFailsWithItsErrnoAndLeavesNoRecord) {
    const UniqueFd parent = openDirectory(work_.path());
    const auto failure = trash_.moveToTrash(parent.get(), "ghost", "");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->code, ENOENT);
    EXPECT_EQ(failure->description, "\"ghost\" could not be moved to the Trash: No such file or directory.");
    EXPECT_TRUE(isEmptyOrMissing(homeTrash("info")));
}

TEST_F(FreedesktopTrashTest, AMoveThatFailsTakesItsRecordBack) {
    // A mount point cannot be renamed: the record written before must go.
    makeDirectory(work_ / "busy");
    {
        const auto mount = ScopedMount::tmpfs(work_ / "busy");
        const UniqueFd parent = openDirectory(work_.path());
        const auto failure = trash_.moveToTrash(parent.get(), "busy", "");
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->code, EBUSY);
        EXPECT_TRUE(isEmptyOrMissing(homeTrash("info")));
        EXPECT_TRUE(isEmptyOrMissing(homeTrash("files")));
    }
    EXPECT_TRUE(exists(work_ / "busy"));
}

TEST_F(FreedesktopTrashTest, NamesThatAreNotOneEntryAreRefused) {
    makeDirectory(work_ / "a/b");
    const UniqueFd parent = openDirectory(work_.path());
    for (const char* name : {"", ".", "..", "a/b"}) {
        const auto failure = trash_.moveToTrash(parent.get(), name, "");
        ASSERT_TRUE(failure.has_value()) << name;
        EXPECT_EQ(failure->code, EINVAL) << name;
    }
    EXPECT_TRUE(exists(work_ / "a/b"));
}

TEST_F(FreedesktopTrashTest, AnItemOnAnotherFileSystemGoesToThatVolumesTrash) {
    const auto volume = ScopedMount::tmpfs(work_ / "volume");
    makeDirectory(work_ / "volume/sub");
    writeFile(work_ / "volume/sub/item", "data");
    {
        const UniqueFd parent = openDirectory(work_ / "volume/sub");
        ASSERT_EQ(trash_.moveToTrash(parent.get(), "item", ""), std::nullopt);
    }
    const std::string volumeTrash = work_ / ("volume/.Trash-" + std::to_string(::geteuid()));
    EXPECT_EQ(readFile(volumeTrash + "/files/item"), "data");
    EXPECT_EQ(modeOf(volumeTrash) & 07777, 0700u);
    // Relative to the volume's top, so it stays true wherever it is mounted.
    EXPECT_TRUE(isRecordFor(readFile(volumeTrash + "/info/item.trashinfo"), "sub/item"));
    EXPECT_TRUE(isEmptyOrMissing(homeTrash("files")));
}

TEST_F(FreedesktopTrashTest, ABindMountOnTheSameDeviceUsesItsOwnTop) {
    // Same device number as the home, yet a rename across cannot work.
    makeDirectory(work_ / "real/inner");
    writeFile(work_ / "real/inner/item", "data");
    {
        const auto bound = ScopedMount::bind(work_ / "real", work_ / "bound");
        const UniqueFd parent = openDirectory(work_ / "bound/inner");
        ASSERT_EQ(trash_.moveToTrash(parent.get(), "item", ""), std::nullopt);
    }
    const std::string volumeTrash = work_ / ("real/.Trash-" + std::to_string(::geteuid()));
    EXPECT_EQ(readFile(volumeTrash + "/files/item"), "data");
    EXPECT_TRUE(isRecordFor(readFile(volumeTrash + "/info/item.trashinfo"), "inner/item"));
}

TEST_F(FreedesktopTrashTest, AVolumeTrashThatIsNotPrivatelyOwnedIsNotUsed) {
    const auto volume = ScopedMount::tmpfs(work_ / "volume");
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
        const auto failure = trash_.moveToTrash(parent.get(), "item", "");
        ASSERT_TRUE(failure.has_value()) << c.what;
        EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), failure->code), c.codes.end()) << c.what << " " << failure->code;
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

    TempDir work;
    writeFile(work / "unique-item-name", "data");
    {
        const UniqueFd parent = openDirectory(work.path());
        ASSERT_EQ(smcd::platform::systemTrash().moveToTrash(parent.get(), "unique-item-name", ""), std::nullopt);
    }
    EXPECT_EQ(readFile("/private/var/root/.local/share/Trash/files/unique-item-name"), "data");
    std::filesystem::remove_all("/private/var/root/.local");
}

}  // namespace
