// Removal requests as the daemon handles them, inside the sandbox's
// macOS-like tree, for peers ann (501) and bob (502), with the exact records
// and log lines a client and an administrator see.

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "daemon/reply_json.h"
#include "platform/log/logger.h"
#include "support/log_capture.h"
#include "platform/trash/linux/freedesktop_trash.h"
#include "removal/removal_flow.h"
#include "removal/test_hooks.h"
#include "support/descriptors.h"
#include "support/removal_records.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using smcd::PrivilegedRemovalResult;
using smcd::platform::CapturedLine;
using smcd::platform::LogLevel;
using smcd::platform::ScopedLogCapture;
using smcd::PrivilegedRemoval::removePaths;
using smcd::PrivilegedRemoval::Target;
using smcd::removal_hooks::Point;
using smcd::removal_hooks::ScopedHook;
using smcd::removal_hooks::Site;
using smcd::test::exists;
using smcd::test::readFile;
using smcd::test::TempDir;
using smcd::test::writeFile;
using Lines = std::vector<CapturedLine>;
using Results = std::vector<PrivilegedRemovalResult>;

constexpr uid_t kAnn = 501;
constexpr uid_t kBob = 502;
constexpr bool kPermanently = true;
constexpr bool kToTrash = false;

const std::string kOutsideProblem = "Outside the directories Vornik's helper is allowed to touch.";
const std::string kResolvesProblem = "That location resolves outside the directories the helper may touch.";
const std::string kCouldNotProblem = "That item could not be removed.";

PrivilegedRemovalResult gone(const std::string& path) { return {path, true, std::nullopt}; }
PrivilegedRemovalResult kept(const std::string& path, const std::string& problem) { return {path, false, problem}; }

CapturedLine error(const std::string& message) { return {LogLevel::Error, message}; }
CapturedLine notice(const std::string& message) { return {LogLevel::Default, message}; }

void makeTree(const std::string& directory) {
    fs::create_directories(directory + "/sub");
    writeFile(directory + "/file", "data");
    writeFile(directory + "/sub/.hidden", "data");
}

// Everything from `path` down belongs to `uid`, as a peer's own files do.
void giveTo(const std::string& path, uid_t uid) {
    ASSERT_EQ(::lchown(path.c_str(), uid, 20), 0) << path;
    if (!fs::is_directory(fs::symlink_status(path))) return;
    for (const auto& entry : fs::recursive_directory_iterator(path))
        ASSERT_EQ(::lchown(entry.path().c_str(), uid, 20), 0) << entry.path();
}

// Replaces a directory with a link to `target`, as a peer racing the helper does, and back.
void swapForLink(const std::string& directory, const std::string& target) {
    fs::rename(directory, directory + ".moved");
    fs::create_directory_symlink(target, directory);
}
void swapBack(const std::string& directory) {
    fs::remove(directory);
    fs::rename(directory + ".moved", directory);
}

class RemovalFlowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!std::getenv("SMCD_IN_SANDBOX")) GTEST_SKIP() << "runs in the test sandbox only";
    }

    void SetUp() override {
        descriptorsBefore_ = smcd::test::openDescriptorCount();
        fs::create_directories("/Users/ann/Library/Caches");
        giveTo("/Users/ann/Library", kAnn);
    }

    void TearDown() override {
        smcd::removal_hooks::clearAll();
        for (const char* made : {"/Users/ann/Library", "/Users/ann/Applications", "/Users/bob/Library",
                                 "/Library/Caches/com.example", "/Library/Caches/com.example.other",
                                 "/Applications/Some.app", "/Applications/Utilities/Tool.app", "/private/var/folders/ab",
                                 "/private/var/db/powerlog/Library", "/private/var/log/old.log",
                                 "/Library/Apple/usr/share/rosetta/rosetta_update_bundle/cache"})
            fs::remove_all(made);
        EXPECT_EQ(smcd::test::openDescriptorCount(), descriptorsBefore_);
    }

    Results remove(const std::vector<std::string>& paths, Target family, bool permanent, uid_t owner = kAnn) {
        return removePaths(paths, family, permanent, owner, trash_);
    }

    std::string trashed(const std::string& name) const { return home_ / (".local/share/Trash/files/" + name); }
    bool trashIsEmpty() const {
        std::error_code ignored;
        const std::string files = home_ / ".local/share/Trash/files";
        return !fs::exists(files, ignored) || fs::is_empty(files, ignored);
    }

    TempDir home_;
    smcd::platform::FreedesktopTrash trash_{home_.path(), ::geteuid()};

private:
    std::size_t descriptorsBefore_ = 0;
};

TEST_F(RemovalFlowTest, RefusedPathsComeFirstAndEachDistinctPathGetsOneRecordEvenInAnotherSpelling) {
    const std::string composed = "/Library/Caches/caf\xC3\xA9", decomposed = "/Library/Caches/cafe\xCC\x81";
    makeTree(composed);
    makeTree("/Library/Caches/com.example");
    ScopedLogCapture capture;
    EXPECT_EQ(nlohmann::ordered_json(remove({}, Target::systemCache, kPermanently)).dump(), "[]");
    const Results results = remove({"/Library/Caches/com.example", composed, "/Library/Preferences/x", decomposed,
                                    "/Library/Caches", composed, "/Library/Preferences/x"},
                                   Target::systemCache, kPermanently);
    EXPECT_EQ(results, (Results{kept("/Library/Preferences/x", kOutsideProblem), kept("/Library/Caches", kOutsideProblem),
                                gone("/Library/Caches/com.example"), gone(composed)}));
    EXPECT_FALSE(exists("/Library/Caches/com.example"));
    EXPECT_FALSE(exists(composed));
    EXPECT_TRUE(exists("/Library/Caches"));
    const CapturedLine refusal = error("removal refused by screening: <private> [systemCache]");
    EXPECT_EQ(capture.lines(), (Lines{refusal, refusal, notice("removed systemCache (deleted)"),
                                      notice("removed systemCache (deleted)")}));
}

TEST_F(RemovalFlowTest, EveryFamilyDeletesAnAcceptedPathThroughTheEngine) {
    struct Case {
        Target family;
        std::string path;
        std::string line;
    };
    const std::vector<Case> cases = {
        {Target::appBundle, "/Applications/Some.app", "removed appBundle (deleted)"},
        {Target::supportFile, "/Users/ann/Library/Caches/com.example", "removed supportFile (deleted)"},
        {Target::systemCache, "/Library/Caches/com.example", "removed systemCache (deleted)"},
        {Target::systemLogs, "/var/log/old.log", "removed systemLogs (deleted)"},
        {Target::gpuShaderCaches, "/var/folders/ab/xyz/C/com.apple.metal", "removed gpuShaderCaches (deleted)"},
        {Target::rosettaCaches, "/Library/Apple/usr/share/rosetta/rosetta_update_bundle/cache",
         "removed rosettaCaches (deleted)"},
    };
    for (const auto& c : cases) {
        c.path.ends_with(".log") ? writeFile(c.path, "log") : makeTree(c.path);
        if (c.path.starts_with("/Users/ann")) giveTo(c.path, kAnn);
        ScopedLogCapture capture;
        EXPECT_EQ(remove({c.path}, c.family, kPermanently), Results{gone(c.path)}) << c.path;
        EXPECT_FALSE(exists(c.path)) << c.path;
        EXPECT_EQ(capture.lines(), Lines{notice(c.line)}) << c.path;
    }
    EXPECT_TRUE(trashIsEmpty());
}

TEST_F(RemovalFlowTest, BundlesAndSupportFilesGoToTheTrashWhenAskedTo) {
    makeTree("/Applications/Some.app");
    makeTree("/Users/ann/Applications/Mine.app");
    giveTo("/Users/ann/Applications", kAnn);
    makeTree("/Users/ann/Library/Caches/com.example");
    giveTo("/Users/ann/Library/Caches/com.example", kAnn);
    ScopedLogCapture capture;
    EXPECT_EQ(remove({"/Applications/Some.app", "/Users/ann/Applications/Mine.app"}, Target::appBundle, kToTrash),
              (Results{gone("/Applications/Some.app"), gone("/Users/ann/Applications/Mine.app")}));
    EXPECT_EQ(remove({"/Users/ann/Library/Caches/com.example"}, Target::supportFile, kToTrash),
              Results{gone("/Users/ann/Library/Caches/com.example")});
    EXPECT_FALSE(exists("/Applications/Some.app"));
    EXPECT_EQ(readFile(trashed("Some.app/sub/.hidden")), "data");
    EXPECT_EQ(readFile(trashed("Mine.app/file")), "data");
    EXPECT_EQ(readFile(trashed("com.example/file")), "data");
    EXPECT_EQ(capture.lines(), (Lines{notice("removed appBundle (trashed)"), notice("removed appBundle (trashed)"),
                                      notice("removed supportFile (trashed)")}));
    // Without a Trash of the test's choosing, the daemon's own: root's home Trash.
    makeTree("/Applications/Utilities/Tool.app");
    EXPECT_EQ(removePaths({"/Applications/Utilities/Tool.app"}, Target::appBundle, kToTrash, kAnn),
              Results{gone("/Applications/Utilities/Tool.app")});
    EXPECT_EQ(readFile("/private/var/root/.local/share/Trash/files/Tool.app/file"), "data");
    fs::remove_all("/private/var/root/.local");
}

TEST_F(RemovalFlowTest, AFailedMoveToTheTrashReportsItsCodeAndDescription) {
    // A mount point cannot be renamed into the Trash.
    fs::create_directories("/Applications/Some.app");
    ASSERT_EQ(::mount("busy", "/Applications/Some.app", "tmpfs", 0, "mode=0755"), 0);
    ScopedLogCapture capture;
    const Results results = remove({"/Applications/Some.app"}, Target::appBundle, kToTrash);
    ::umount2("/Applications/Some.app", MNT_DETACH);
    EXPECT_EQ(results, Results{kept("/Applications/Some.app",
                                    "\"Some.app\" could not be moved to the Trash: Device or resource busy.")});
    EXPECT_EQ(capture.lines(), Lines{error("removal failed [appBundle]: 16")});
    EXPECT_TRUE(exists("/Applications/Some.app"));
}

TEST_F(RemovalFlowTest, APathDeletedAfterScreeningIsRefusedAfterResolution) {
    makeTree("/Library/Caches/com.example");
    ScopedHook hook(Point::afterScreening, [](const Site&) { fs::remove_all("/Library/Caches/com.example"); });
    ScopedLogCapture capture;
    EXPECT_EQ(remove({"/Library/Caches/com.example"}, Target::systemCache, kPermanently),
              Results{kept("/Library/Caches/com.example", kResolvesProblem)});
    EXPECT_EQ(capture.lines(), Lines{error("refused after resolution [systemCache]")});
}

TEST_F(RemovalFlowTest, AParentSwappedForALinkAfterScreeningTouchesNothingOutside) {
    // The peer's own Caches becomes a link to the system's: after resolution
    // the path is a system cache, which is not a support file of ann's.
    makeTree("/Users/ann/Library/Caches/com.example");
    giveTo("/Users/ann/Library/Caches/com.example", kAnn);
    makeTree("/Library/Caches/com.example");
    ScopedHook hook(Point::afterScreening,
                    [](const Site&) { swapForLink("/Users/ann/Library/Caches", "/Library/Caches"); });
    for (const bool permanent : {kPermanently, kToTrash}) {
        ScopedLogCapture capture;
        EXPECT_EQ(remove({"/Users/ann/Library/Caches/com.example"}, Target::supportFile, permanent),
                  Results{kept("/Users/ann/Library/Caches/com.example", kResolvesProblem)});
        EXPECT_EQ(capture.lines(), Lines{error("refused after resolution [supportFile]")});
        EXPECT_EQ(readFile("/Library/Caches/com.example/sub/.hidden"), "data");
        swapBack("/Users/ann/Library/Caches");
    }
    EXPECT_TRUE(trashIsEmpty());
}

TEST_F(RemovalFlowTest, AComponentSwappedWhileActingIsRefusedWithItsName) {
    // After every check has passed, just before the helper reaches "Caches",
    // the peer swaps it for a link to the system's caches. A move by path
    // would now trash /Library/Caches/com.example; by descriptor it cannot.
    makeTree("/Library/Caches/com.example");
    for (const bool permanent : {kToTrash, kPermanently}) {
        makeTree("/Users/ann/Library/Caches/com.example");
        giveTo("/Users/ann/Library/Caches", kAnn);
        ScopedHook hook(Point::betweenComponents, [](const Site& site) {
            if (site.name == "Caches") swapForLink("/Users/ann/Library/Caches", "/Library/Caches");
        });
        ScopedLogCapture capture;
        EXPECT_EQ(remove({"/Users/ann/Library/Caches/com.example"}, Target::supportFile, permanent),
                  Results{kept("/Users/ann/Library/Caches/com.example",
                               "\"Caches\" changed while the helper was working, so nothing was removed.")});
        EXPECT_EQ(capture.lines(), Lines{error("refused a component that changed under us [supportFile]")});
        EXPECT_EQ(readFile("/Library/Caches/com.example/sub/.hidden"), "data");
        EXPECT_EQ(readFile("/Users/ann/Library/Caches.moved/com.example/file"), "data");
        swapBack("/Users/ann/Library/Caches");
        fs::remove_all("/Users/ann/Library/Caches/com.example");
    }
    EXPECT_TRUE(trashIsEmpty());
}

TEST_F(RemovalFlowTest, AnItemThatVanishesUnderTheEngineCountsAsRemoved) {
    makeTree("/Library/Caches/com.example");
    ScopedHook hook(Point::betweenComponents, [](const Site& site) {
        if (site.name == "com.example") fs::remove_all("/Library/Caches/com.example");
    });
    ScopedLogCapture capture;
    EXPECT_EQ(remove({"/Library/Caches/com.example"}, Target::systemCache, kPermanently),
              Results{gone("/Library/Caches/com.example")});
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(RemovalFlowTest, AnEngineDenialIsReportedPlainlyAndLoggedWithItsErrno) {
    // A root-owned file inside the peer's folder, removed with the peer's
    // file-system identity: the unlink fails with EACCES.
    makeTree("/Users/ann/Library/Caches/com.example");
    giveTo("/Users/ann/Library/Caches/com.example", kAnn);
    ASSERT_EQ(::lchown("/Users/ann/Library/Caches/com.example", 0, 0), 0);
    ScopedLogCapture capture;
    ::setfsuid(kAnn);
    const Results results = remove({"/Users/ann/Library/Caches/com.example"}, Target::supportFile, kPermanently);
    ::setfsuid(0);
    EXPECT_EQ(results, Results{kept("/Users/ann/Library/Caches/com.example", kCouldNotProblem)});
    EXPECT_EQ(capture.lines(), Lines{error("removal failed [supportFile]: denied(13)")});
    EXPECT_TRUE(exists("/Users/ann/Library/Caches/com.example/file"));
}

TEST_F(RemovalFlowTest, APeerCannotReachIntoAnotherUsersHome) {
    makeTree("/Users/ann/Library/Caches/com.example");
    giveTo("/Users/ann/Library/Caches/com.example", kAnn);
    ScopedLogCapture capture;
    for (const bool permanent : {kToTrash, kPermanently})
        EXPECT_EQ(remove({"/Users/ann/Library/Caches/com.example"}, Target::supportFile, permanent, kBob),
                  Results{kept("/Users/ann/Library/Caches/com.example", kOutsideProblem)});
    EXPECT_EQ(capture.lines(), (Lines{error("removal refused by screening: <private> [supportFile]"),
                                      error("removal refused by screening: <private> [supportFile]")}));
    EXPECT_EQ(readFile("/Users/ann/Library/Caches/com.example/file"), "data");
    EXPECT_TRUE(trashIsEmpty());
}

TEST_F(RemovalFlowTest, TheActivePowerLogDatabaseStaysWhileItsSiblingsGo) {
    const std::string folder = "/var/db/powerlog/Library/PerfPowerTelemetry/BackgroundProcessing";
    const std::string database = folder + "/CurrentBackgroundProcessingDB.BGSQL";
    fs::create_directories(folder);
    for (const auto& name : {database, database + "-wal", database + "-shm", folder + "/Other.db"}) writeFile(name, "db");
    ScopedLogCapture capture;
    const Results results = remove({database, folder + "/Other.db", database + "-wal", database + "-shm",
                                    "/var/db/powerlog/Library/PerfPowerTelemetry"},
                                   Target::systemLogs, kPermanently);
    EXPECT_EQ(results, (Results{kept(database, kOutsideProblem), kept(database + "-wal", kOutsideProblem),
                                kept(database + "-shm", kOutsideProblem),
                                kept("/var/db/powerlog/Library/PerfPowerTelemetry", kOutsideProblem),
                                gone(folder + "/Other.db")}));
    EXPECT_TRUE(exists(database));
    EXPECT_TRUE(exists(database + "-wal"));
    EXPECT_FALSE(exists(folder + "/Other.db"));
    EXPECT_EQ(capture.lines().back(), notice("removed systemLogs (deleted)"));
}

TEST_F(RemovalFlowTest, ShaderCachesInsideASensorsContainerAreOutOfReach) {
    const std::string plain = "/var/folders/ab/xyz/C/com.apple.metal";
    const std::string sensor = "/var/folders/ab/xyz/C/com.CrowdStrike.falcon/com.apple.metal";
    const std::string app = "/var/folders/ab/xyz/C/com.example.app/com.apple.metalfe";
    for (const auto& tree : {plain, sensor, app}) makeTree(tree);
    ScopedLogCapture capture;
    EXPECT_EQ(remove({sensor, plain, app}, Target::gpuShaderCaches, kPermanently),
              (Results{kept(sensor, kOutsideProblem), gone(plain), gone(app)}));
    EXPECT_EQ(readFile(sensor + "/file"), "data");
    EXPECT_EQ(capture.lines(), (Lines{error("removal refused by screening: <private> [gpuShaderCaches]"),
                                      notice("removed gpuShaderCaches (deleted)"),
                                      notice("removed gpuShaderCaches (deleted)")}));
}

// Each branch between the checks and the act, reached by changing the tree
// at the hook named in the case: the record and the log line it gives.
TEST_F(RemovalFlowTest, BranchesBetweenTheChecksAndTheActGiveTheirRecordAndLogLine) {
    const std::string item = "/Users/ann/Library/Caches/com.example/item";
    const std::string folder = "/Users/ann/Library/Caches/com.example";
    struct Case {
        const char* what;
        Point point;
        const char* at;  // the component or path at which the hook acts
        bool permanent;
        std::function<void()> change;
        PrivilegedRemovalResult record;
        Lines lines;
    };
    const std::string changed = "\"com.example\" changed while the helper was working, so nothing was removed.";
    const std::vector<Case> cases{
        {"gone before the existence query: already removed", Point::afterResolvedCheck, "", kPermanently,
         [&] { fs::remove_all(item); }, gone(item), Lines{}},
        {"the existence query fails otherwise (ENOTDIR): the removal reports it", Point::afterResolvedCheck, "",
         kPermanently,
         [&] {
             fs::rename(folder, folder + ".moved");
             writeFile(folder, "a file now");
         },
         kept(item, changed), Lines{error("refused a component that changed under us [supportFile]")}},
        {"the leaf became a link before the re-check: no accepted root", Point::afterResolvedCheck, "", kPermanently,
         [&] {
             fs::rename(item, item + ".moved");
             fs::create_directory_symlink(item + ".moved", item);
         },
         kept(item, "The helper could not establish which allowed directory that path belongs to."),
         Lines{error("no accepted root [supportFile]")}},
        {"the Trash branch finds a component gone: already removed", Point::betweenComponents, "com.example",
         kToTrash, [&] { fs::rename(folder, folder + ".moved"); }, gone(item), Lines{}},
        {"the Trash branch is denied a component: errno logged", Point::betweenComponents, "com.example", kToTrash,
         [&] {
             ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
             ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
             ::setfsuid(kAnn);
         },
         kept(item, kCouldNotProblem), Lines{error("removal failed [supportFile]: denied(13)")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        makeTree(item);
        giveTo(folder, kAnn);
        ScopedHook hook(c.point, [&](const Site& site) {
            if (c.point == Point::betweenComponents && site.name != c.at) return;
            c.change();
        });
        ScopedLogCapture capture;
        const Results results = remove({item}, Target::supportFile, c.permanent);
        ::setfsuid(0);
        EXPECT_EQ(results, Results{c.record});
        EXPECT_EQ(capture.lines(), c.lines);
        fs::remove_all(folder);
        fs::remove_all(folder + ".moved");
    }
    EXPECT_TRUE(trashIsEmpty());
}

// outsideRoot cannot come out of the engine inside the flow: the root is the
// accepted root of a path that passed screening, so the path is canonical,
// free of "." and "..", and strictly below it by the same comparison.

TEST_F(RemovalFlowTest, ANameThatIsNotTextStillLeavesEveryRecordInTheReply) {
    // An entry named by the single byte 0xFF is swapped for a link while the
    // engine empties its parent: its name enters the record's problem, and
    // the reply must still carry both records.
    const std::string first = "/Library/Caches/com.example";
    const std::string second = "/Library/Caches/com.example.other";
    makeTree(first);
    makeTree(second);
    fs::create_directories(second + "/\xFF/inner");
    ScopedHook hook(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "\xFF") swapForLink(second + "/\xFF", "/Library/Caches");
    });
    const Results results = remove({first, second}, Target::systemCache, kPermanently);
    const std::string problem =
        "\"\xEF\xBF\xBD\" changed while the helper was working, so nothing was removed.";
    EXPECT_EQ(results, (Results{gone(first), kept(second, problem)}));
    EXPECT_EQ(nlohmann::json::parse(smcd::replyJSON(results)).get<Results>(), results);
    EXPECT_TRUE(exists(second + "/\xFF.moved/inner"));
}

TEST(RemovalRecord, EncodesTheProblemOnlyWhenThereIsOne) {
    for (const auto& [record, text] : {std::pair{gone("/a"), R"({"path":"/a","removed":true})"},
                                       std::pair{kept("/b", "why"), R"({"path":"/b","removed":false,"problem":"why"})"}}) {
        EXPECT_EQ(nlohmann::ordered_json(record).dump(), text);
        EXPECT_EQ(nlohmann::json::parse(text).get<PrivilegedRemovalResult>(), record);
    }
    EXPECT_THROW(nlohmann::json::parse(R"({"path":"/a"})").get<PrivilegedRemovalResult>(), nlohmann::json::exception);
}

}  // namespace
