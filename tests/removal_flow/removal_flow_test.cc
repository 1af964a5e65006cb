// Removal requests as the daemon handles them, inside the sandbox's
// macOS-like tree, for peer ann (501), with the exact records and log lines
// a client and an administrator see.

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "daemon/reply_json.h"
#include "platform/log/logger.h"
#include "platform/trash/linux/freedesktop_trash.h"
#include "removal/removal_flow.h"
#include "removal/test_hooks.h"
#include "support/descriptors.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"
#include "support/tree.h"

namespace smcd::test {
namespace {

namespace fs = std::filesystem;
using platform::CapturedLine;
using platform::LogLevel;
using platform::ScopedLogCapture;
using removal::removePaths;
using removal::Target;
using removal::hooks::Point;
using removal::hooks::ScopedHook;
using removal::hooks::Site;
using Lines = std::vector<CapturedLine>;
using Results = std::vector<PrivilegedRemovalResult>;

constexpr uid_t kAnn = 501, kBob = 502, kNobody = 65534, kStranger = 503;
constexpr bool kPermanently = true;
constexpr bool kToTrash = false;

const std::string kOutsideProblem = "Outside the directories Vornik's helper is allowed to touch.";
const std::string kResolvesProblem = "That location resolves outside the directories the helper may touch.";
const std::string kCouldNotProblem = "That item could not be removed.";
const std::string kSupport = "/Library/Application Support/com.example";
const std::string kDaemonsTrash = "/var/root/.local/share/Trash/";

PrivilegedRemovalResult gone(const std::string& path) { return {path, true, std::nullopt}; }
PrivilegedRemovalResult kept(const std::string& path, const std::string& problem) { return {path, false, problem}; }
CapturedLine error(const std::string& message) { return {LogLevel::error, message}; }
CapturedLine notice(const std::string& message) { return {LogLevel::notice, message}; }
std::string homeOf(uid_t peer) { return peer == kAnn ? "/Users/ann" : "/Users/bob"; }

SpawnOptions as(uid_t uid) {
    SpawnOptions options;
    options.uid = uid;
    options.environment.push_back("HOME=" + homeOf(uid));
    return options;
}

class RemovalFlowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test::inSandbox()) GTEST_SKIP() << "runs in the test sandbox only";
    }
    void SetUp() override {
        fs::create_directories("/Users/ann/Library/Caches");
        giveTo("/Users/ann/Library", kAnn);
    }
    void TearDown() override {
        for (const char* made : {"/Users/ann/Library", "/Users/ann/Applications", "/Users/ann/.local", "/Users/bob/Library",
                                 "/Users/bob/.local", "/Library/Caches/com.example",
                                 "/Library/Caches/com.example.other", "/Applications/Some.app",
                                 "/Applications/Utilities/Tool.app", "/private/var/folders/ab", "/private/var/log/old.log",
                                 "/Library/Apple/usr/share/rosetta/rosetta_update_bundle/cache", "/var/root/.local",
                                 "/Library/Preferences/com.example.plist"})
            fs::remove_all(made);
        for (const auto& entry : fs::directory_iterator("/Library/Application Support")) fs::remove_all(entry);
    }

    Results remove(const std::vector<std::string>& paths, Target family, bool permanent) {
        return removePaths(paths, family, permanent, kAnn, trash_);
    }
    std::string trashed(const std::string& name) const { return home_ / (".local/share/Trash/files/" + name); }

    NoDescriptorLeak noLeak_;
    TempDir home_;
    platform::FreedesktopTrash trash_{{{::geteuid(), ::getegid(), {}}, home_.path()}};
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
    EXPECT_FALSE(exists(composed));
    EXPECT_TRUE(exists("/Library/Caches"));
    const CapturedLine refusal = error("removal refused by screening: <private> [systemCache]");
    const CapturedLine deleted = notice("removed systemCache (deleted)");
    EXPECT_EQ(capture.lines(), (Lines{refusal, refusal, deleted, deleted}));
}

// Once stop is asked for (its connection has ended) no further path is
// handled: the first deletion's line asks for it here, and the second item stays.
TEST_F(RemovalFlowTest, ARequestAskedToStopHandlesNoFurtherPath) {
    makeTree("/Library/Caches/com.example");
    makeTree("/Library/Caches/com.example.other");
    std::stop_source stop;
    const ScopedLogCapture capture([&] { stop.request_stop(); });
    const Results results = removePaths({"/Library/Caches/com.example", "/Library/Caches/com.example.other"},
                                        Target::systemCache, kPermanently, kAnn, trash_, stop.get_token());
    EXPECT_EQ(results, Results{gone("/Library/Caches/com.example")});
    EXPECT_TRUE(exists("/Library/Caches/com.example.other"));
}

TEST_F(RemovalFlowTest, EveryFamilyDeletesAnAcceptedPathAndBundlesAndSupportFilesMayGoToTheTrash) {
    const std::tuple<Target, std::string, bool> cases[] = {
        {Target::appBundle, "/Applications/Some.app", kPermanently},
        {Target::supportFile, "/Users/ann/Library/Caches/com.example", kPermanently},
        {Target::systemCache, "/Library/Caches/com.example", kPermanently},
        {Target::systemLogs, "/var/log/old.log", kPermanently},
        {Target::gpuShaderCaches, "/var/folders/ab/xyz/C/com.apple.metal", kPermanently},
        {Target::rosettaCaches, "/Library/Apple/usr/share/rosetta/rosetta_update_bundle/cache", kPermanently},
        {Target::appBundle, "/Users/ann/Applications/Mine.app", kToTrash},
        {Target::supportFile, "/Users/ann/Library/Caches/com.example", kToTrash},
    };
    for (const auto& [family, path, permanent] : cases) {
        path.ends_with(".log") ? writeFile(path, "log") : makeTree(path);
        if (path.starts_with("/Users/ann")) giveTo(path, kAnn);
        ScopedLogCapture capture;
        EXPECT_EQ(remove({path}, family, permanent), Results{gone(path)}) << path;
        EXPECT_FALSE(exists(path)) << path;
        const std::string how = permanent ? " (deleted)" : " (trashed)";
        EXPECT_EQ(capture.lines(), Lines{notice("removed " + std::string(rawValue(family)) + how)}) << path;
        if (!permanent) {
            EXPECT_EQ(readFile(trashed(fs::path(path).filename().string() + "/sub/.hidden")), "data");
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(trashed("")), fs::directory_iterator()), 2);
    // A mount point cannot be renamed into the Trash.
    const ScopedMount busy("/Applications/Some.app");
    ScopedLogCapture capture;
    EXPECT_EQ(remove({"/Applications/Some.app"}, Target::appBundle, kToTrash),
              Results{kept("/Applications/Some.app", "\"Some.app\" could not be moved to the Trash: Device or resource busy.")});
    EXPECT_EQ(capture.lines(), Lines{error("removal failed [appBundle]: 16")});
}

// Without a given Trash, only the peer's own items go to the peer's own
// Trash; root's and another user's go to the daemon's, closed to everyone
// else, so that nothing the folders above protected reaches the peer and
// the peer's own Trash empties with ordinary tools.
TEST_F(RemovalFlowTest, OnlyThePeersOwnItemsGoToThePeersTrashAndAnyOtherToTheDaemons) {
    makeTree(kSupport + "/inner");  // root's: only the folder above protects its file
    ASSERT_EQ(::chmod((kSupport + "/inner").c_str(), 0700), 0);
    makeTree(kSupport + "/anns");  // ann's private folder in a shared root
    giveTo(kSupport + "/anns", kAnn);
    ASSERT_EQ(::chmod((kSupport + "/anns").c_str(), 0700), 0);
    writeFile("/Library/Preferences/com.example.plist", "root's");
    makeTree("/Applications/Some.app");
    makeTree("/Users/ann/Library/Caches/com.example");
    giveTo("/Users/ann/Library/Caches/com.example", kAnn);
    const std::tuple<uid_t, std::string, Target, bool> cases[] = {
        {kAnn, kSupport + "/inner/file", Target::supportFile, false},
        {kAnn, "/Library/Preferences/com.example.plist", Target::supportFile, false},
        {kAnn, "/Applications/Some.app", Target::appBundle, false},
        {kBob, kSupport + "/anns", Target::supportFile, false},
        {kAnn, "/Users/ann/Library/Caches/com.example", Target::supportFile, true},
    };
    for (const auto& [peer, path, family, peersOwn] : cases) {
        EXPECT_EQ(removePaths({path}, family, kToTrash, peer), Results{gone(path)});
        const std::string name = fs::path(path).filename();
        EXPECT_EQ(exists(homeOf(peer) + "/.local/share/Trash/files/" + name), peersOwn) << path;
        EXPECT_EQ(exists(kDaemonsTrash + "files/" + name), !peersOwn) << path;
    }
    struct stat trash{};
    ASSERT_EQ(::stat(kDaemonsTrash.c_str(), &trash), 0);
    EXPECT_EQ(trash.st_uid, 0u);
    EXPECT_EQ(trash.st_mode & (S_IRWXG | S_IRWXO), 0u);
    EXPECT_NE(run({"/bin/cat", kDaemonsTrash + "files/file"}, as(kAnn)).status, 0);
    EXPECT_EQ(run({"/usr/bin/trash-empty"}, as(kAnn)).status, 0);
    for (const char* part : {"files", "info"}) EXPECT_TRUE(fs::is_empty("/Users/ann/.local/share/Trash/" + std::string(part)));
}

// A peer whose own Trash cannot be had gets the daemon's for their item;
// no Trash is ever made for them at a file system's top.
TEST_F(RemovalFlowTest, APeerWithoutAUsableTrashOfTheirOwnGetsTheDaemonsAndNoneIsMadeForThem) {
    const std::string local = "/Users/ann/.local", trash = local + "/share/Trash";
    // ann's Trash with one part broken: its `files` open to all, its `info` a
    // file, or an `info` she may not write into.
    const auto brokenTrash = [&](const std::string& part, mode_t mode) {
        fs::create_directories(trash + "/files");
        if (mode == 0) {
            writeFile(trash + "/info", "a file");
        } else {
            fs::create_directory(trash + "/info");
            ASSERT_EQ(::chmod((trash + "/" + part).c_str(), mode), 0);
        }
        giveTo(local, kAnn);
    };
    std::optional<ScopedMount> home;
    const std::pair<uid_t, std::function<void()>> cases[] = {
        {kAnn, [&] { ASSERT_EQ(::mkfifo(local.c_str(), 0600), 0); giveTo(local, kAnn); }},
        {kAnn, [&] { makeLink("/var/root/.local", local); }},
        {kAnn, [&] { brokenTrash("info", 0); }},
        {kAnn, [&] { brokenTrash("info", 0500); }},
        {kAnn, [&] { brokenTrash("files", 0777); }},
        {kAnn, [&] { home.emplace("/Users/ann"); giveTo("/Users/ann", kAnn); }},  // not the item's file system
        {kNobody, [] {}},                                                         // no home
        {kStranger, [] {}},                                                       // no user-database entry
    };
    for (const auto& [peer, breakIt] : cases) {
        const std::string item = kSupport + ".case" + std::to_string(&breakIt - &cases[0].second);
        SCOPED_TRACE(item);
        breakIt();
        makeTree(item);
        giveTo(item, peer);
        EXPECT_EQ(removePaths({item}, Target::supportFile, kToTrash, peer), Results{gone(item)});
        EXPECT_EQ(readFile(kDaemonsTrash + "files/" + fs::path(item).filename().string() + "/file"), "data");
        for (const std::string top : {"/", "/Users/ann/"}) EXPECT_FALSE(exists(top + ".Trash-" + std::to_string(peer)));
        home.reset();
        fs::remove_all(local);
    }
}

// Each branch between the checks and the act, reached by changing the tree
// at the hook named in the case: the record and the log line it gives.
TEST_F(RemovalFlowTest, BranchesBetweenTheChecksAndTheActGiveTheirRecordAndLogLine) {
    const std::string caches = "/Users/ann/Library/Caches", folder = caches + "/com.example", item = folder + "/item";
    const auto deny = [&](mode_t mode) {
        ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
        ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
        ::setfsuid(kAnn);
    };
    const auto changed = [](const std::string& name) {
        return "\"" + name + "\" changed while the helper was working, so nothing was removed.";
    };
    struct Case {
        const char* what;
        Point point;
        const char* at;  // the component at which a betweenComponents hook acts
        bool permanent;
        std::function<void()> change;
        PrivilegedRemovalResult record;
        Lines lines;
    };
    const CapturedLine afterResolution = error("refused after resolution [supportFile]");
    const CapturedLine swapped = error("refused a component that changed under us [supportFile]");
    const CapturedLine denied = error("removal failed [supportFile]: denied(13)");
    const std::vector<Case> cases{
        {"deleted after screening", Point::afterScreening, "", kPermanently, [&] { fs::remove_all(folder); },
         kept(item, kResolvesProblem), {afterResolution}},
        {"a parent swapped for a link after screening", Point::afterScreening, "", kToTrash,
         [&] { swapForLink(caches, "/Library/Caches"); }, kept(item, kResolvesProblem), {afterResolution}},
        {"gone before the existence query", Point::afterResolvedCheck, "", kPermanently, [&] { fs::remove_all(item); },
         gone(item), {}},
        {"the existence query fails otherwise (ENOTDIR)", Point::afterResolvedCheck, "", kPermanently,
         [&] { fs::rename(folder, folder + ".moved"), writeFile(folder, "a file now"); },
         kept(item, changed("com.example")), {swapped}},
        {"the leaf became a link before the re-check", Point::afterResolvedCheck, "", kPermanently,
         [&] { swapForLink(item, item + ".moved"); },
         kept(item, "The helper could not establish which allowed directory that path belongs to."),
         {error("no accepted root [supportFile]")}},
        {"the engine is denied the unlink", Point::afterResolvedCheck, "", kPermanently, [&] { deny(0755); },
         kept(item, kCouldNotProblem), {denied}},
        // After every check, a deletion or move by path would now reach
        // /Library/Caches/com.example; by descriptor it cannot.
        {"Caches swapped for a link while deleting", Point::betweenComponents, "Caches", kPermanently,
         [&] { swapForLink(caches, "/Library/Caches"); }, kept(item, changed("Caches")), {swapped}},
        {"Caches swapped for a link while trashing", Point::betweenComponents, "Caches", kToTrash,
         [&] { swapForLink(caches, "/Library/Caches"); }, kept(item, changed("Caches")), {swapped}},
        {"vanishes under the engine", Point::betweenComponents, "item", kPermanently, [&] { fs::remove_all(item); },
         gone(item), {}},
        {"the Trash branch finds a component gone", Point::betweenComponents, "com.example", kToTrash,
         [&] { fs::rename(folder, folder + ".moved"); }, gone(item), {}},
        {"the Trash branch is denied a component", Point::betweenComponents, "com.example", kToTrash,
         [&] { deny(0700); }, kept(item, kCouldNotProblem), {denied}},
    };
    makeTree("/Library/Caches/com.example/item");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        makeTree(item);
        giveTo(caches, kAnn);
        ScopedHook hook(c.point, [&](const Site& site) {
            if (c.point != Point::betweenComponents || site.name == c.at) c.change();
        });
        ScopedLogCapture capture;
        const Results results = remove({item}, Target::supportFile, c.permanent);
        ::setfsuid(0);
        EXPECT_EQ(results, Results{c.record});
        EXPECT_EQ(capture.lines(), c.lines);
        if (fs::is_symlink(caches)) swapBack(caches);
        fs::remove_all(folder);
        fs::remove_all(folder + ".moved");
    }
    EXPECT_EQ(readFile("/Library/Caches/com.example/item/file"), "data");
    EXPECT_TRUE(!fs::exists(trashed("")) || fs::is_empty(trashed("")));
}

TEST_F(RemovalFlowTest, ANameThatIsNotTextStillLeavesEveryRecordInTheReply) {
    // An entry named by the single byte 0xFF is swapped for a link while the
    // engine empties its parent: its name enters the record's problem, and
    // the reply must still carry both records.
    const std::string first = "/Library/Caches/com.example", second = "/Library/Caches/com.example.other";
    makeTree(first);
    fs::create_directories(second + "/\xFF/inner");
    ScopedHook hook(Point::betweenUnlinkAndOpen, [&](const Site& site) {
        if (site.name == "\xFF") swapForLink(second + "/\xFF", "/Library/Caches");
    });
    const Results results = remove({first, second}, Target::systemCache, kPermanently);
    const std::string problem = "\"\xEF\xBF\xBD\" changed while the helper was working, so nothing was removed.";
    EXPECT_EQ(results, (Results{gone(first), kept(second, problem)}));
    EXPECT_EQ(nlohmann::json::parse(replyJSON(results)).at(1).at("problem"), problem);
    EXPECT_TRUE(exists(second + "/\xFF.moved/inner"));
}

}  // namespace
}  // namespace smcd::test
