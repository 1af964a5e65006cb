// What a user of smcctl gets from removal and measurement requests.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "support/daemon.h"
#include "support/tree.h"

namespace smcd::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kAnn = 501;
constexpr uid_t kBob = 502;
const std::string kOutside = "Outside the directories Vornik's helper is allowed to touch.";
const std::string kLogPrefix = "com.brackenmill.vornik[daemon]: ";
const std::string kAnnsTrash = "/Users/ann/.local/share/Trash/files/";
const std::string kRootsTrash = "/var/root/.local/share/Trash/files/";

SpawnOptions as(uid_t uid) {
    SpawnOptions options;
    options.uid = uid;
    return options;
}

std::string removedJSON(const std::string& path) { return R"({"path":")" + path + R"(","removed":true})"; }
std::string refusedJSON(const std::string& path) {
    return R"({"path":")" + path + R"(","removed":false,"problem":")" + kOutside + R"("})";
}

class RemovalEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories("/Users/ann/Library/Caches");
        giveTo("/Users/ann/Library", kAnn);
    }
    void TearDown() override {
        for (const char* made : {"/Users/ann/Library", "/Library/Caches/com.example", "/Applications/Some.app",
                                 "/Users/ann/.local", "/private/var/log/old.log", "/var/root/.local"})
            fs::remove_all(made);
    }

    Daemon daemon_;
};

TEST_F(RemovalEndToEnd, ACacheIsDeletedAndARefusedPathIsReportedFirst) {
    EXPECT_EQ(smcctl(daemon_, {"--json", "remove", "systemLogs"}, as(kAnn)).out, "[]\n");
    makeTree("/Library/Caches/com.example");
    const auto result =
        smcctl(daemon_, {"--json", "remove", "systemCache", "/Library/Caches/com.example", "/Library/Preferences/x"}, as(kAnn));
    EXPECT_EQ(result.status, 1) << "a refused path is a failure to a script" << result.err;
    EXPECT_EQ(result.out,
              "[" + refusedJSON("/Library/Preferences/x") + "," + removedJSON("/Library/Caches/com.example") + "]\n");
    EXPECT_FALSE(fs::exists("/Library/Caches/com.example"));
    EXPECT_TRUE(daemon_.logEventuallyContains("<3>" + kLogPrefix + "removal refused by screening: <private> [systemCache]\n"));
    EXPECT_TRUE(daemon_.logEventuallyContains("<5>" + kLogPrefix + "removed systemCache (deleted)\n"));
}

// ann's own folder goes to her Trash, root's bundle to root's: each owner's
// trash-cli lists its own, and ann's restores hers.
TEST_F(RemovalEndToEnd, BundlesAndSupportFilesGoToTheirOwnersTrashWhenAskedButTheLogMethodAlwaysDeletes) {
    makeTree("/Applications/Some.app");
    const auto table = smcctl(daemon_, {"remove", "appBundle", "--trash", "/Applications/Some.app"}, as(kAnn));
    EXPECT_EQ(table.out, "REMOVED  PATH                    PROBLEM\nyes      /Applications/Some.app  \n") << table.err;
    EXPECT_TRUE(daemon_.logEventuallyContains("<5>" + kLogPrefix + "removed appBundle (trashed)\n"));
    makeTree("/Users/ann/Library/Caches/com.example");
    giveTo("/Users/ann/Library/Caches/com.example", kAnn);
    writeFile("/var/log/old.log", "log");
    for (const std::vector<std::string>& request : {std::vector<std::string>{"supportFile", "--trash", "/Users/ann/Library/Caches/com.example"},
                                                    std::vector<std::string>{"systemLogs", "/var/log/old.log"}}) {
        std::vector<std::string> args{"--json", "remove"};
        args.insert(args.end(), request.begin(), request.end());
        EXPECT_EQ(smcctl(daemon_, args, as(kAnn)).out, "[" + removedJSON(request.back()) + "]\n");
        EXPECT_FALSE(fs::exists(request.back()));
    }
    EXPECT_EQ(readFile(kRootsTrash + "Some.app/sub/.hidden"), "data");
    EXPECT_TRUE(fs::exists(kAnnsTrash + "com.example/file"));
    for (const std::string& trash : {kAnnsTrash, kRootsTrash}) EXPECT_FALSE(fs::exists(trash + "old.log"));
    SpawnOptions asAnn = as(kAnn), asRoot;
    asAnn.environment.push_back("HOME=/Users/ann");
    asRoot.environment.push_back("HOME=/var/root");
    const auto listed = run({"/usr/bin/trash-list"}, asAnn), rootListed = run({"/usr/bin/trash-list"}, asRoot);
    EXPECT_EQ(listed.out.find(" /Applications/Some.app\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(" /Users/ann/Library/Caches/com.example\n"), std::string::npos) << listed.out << listed.err;
    EXPECT_NE(rootListed.out.find(" /Applications/Some.app\n"), std::string::npos) << rootListed.out << rootListed.err;
    const auto restored = run({"/bin/sh", "-c", "echo 0 | trash-restore /Users/ann/Library/Caches"}, asAnn);
    EXPECT_EQ(readFile("/Users/ann/Library/Caches/com.example/sub/.hidden"), "data") << restored.out << restored.err;
    EXPECT_FALSE(fs::exists(kAnnsTrash + "com.example"));
}

TEST_F(RemovalEndToEnd, BobCannotRemoveFromAnnsHome) {
    makeTree("/Users/ann/Library/Caches/com.example");
    giveTo("/Users/ann/Library/Caches/com.example", kAnn);
    const auto result = smcctl(
        daemon_, {"--json", "remove", "supportFile", "--permanent", "/Users/ann/Library/Caches/com.example"}, as(kBob));
    EXPECT_EQ(result.out, "[" + refusedJSON("/Users/ann/Library/Caches/com.example") + "]\n") << result.err;
    EXPECT_EQ(readFile("/Users/ann/Library/Caches/com.example/file"), "data");
}

TEST_F(RemovalEndToEnd, MeasurementPrintsSizesAndKeepsRefusedPathsInPlace) {
    writeFile("/var/log/old.log", std::string(10000, 'x'));
    const auto [bytes, files] = findTotals("/var/log");
    const auto result = smcctl(daemon_, {"--json", "measure", "/var/log", "/Users/bob/Library"}, as(kAnn));
    EXPECT_EQ(result.status, 1) << "a refused path is a failure to a script" << result.err;
    EXPECT_EQ(result.out, "[{\"path\":\"/var/log\",\"bytes\":" + std::to_string(bytes) + ",\"fileCount\":" +
                              std::to_string(files) + ",\"refused\":false}," +
                              "{\"path\":\"/Users/bob/Library\",\"bytes\":0,\"fileCount\":0,\"refused\":true}]\n");
    EXPECT_TRUE(daemon_.logEventuallyContains("<3>" + kLogPrefix + "measurement refused by screening: <private>\n"));
    const auto table = smcctl(daemon_, {"measure", "/Users/bob/Library"}, as(kAnn));
    EXPECT_EQ(table.out, "BYTES  FILES  REFUSED  PATH\n0      0      yes      /Users/bob/Library\n");
}

// At a soft limit of 4,096 descriptors ann measures her own 40,000-level
// chain 48 times at once, more than her quarter of the walk pools holds:
// her walks wait (the daemon says so), and bob's one-file measurement is
// served within a few seconds all the same.
TEST(WalkShares, OneUsersDeepMeasurementsLeaveAnotherUserServed) {
    Daemon::Options options;
    options.descriptorLimit = 4096;
    Daemon daemon(options);
    const std::string chain = "/Users/ann/chain";
    ASSERT_EQ(::mkdir(chain.c_str(), 0755), 0);
    UniqueFd level(::open(chain.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int depth = 1; depth < 40000 && level; ++depth) {
        ASSERT_EQ(::mkdirat(level.get(), "d", 0755), 0);
        level = UniqueFd(::openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    ASSERT_TRUE(level.valid());
    level.reset();
    fs::create_directories("/Users/bob/one");
    writeFile("/Users/bob/one/file", std::string(5000, 'x'));
    const std::vector<std::string> measureChain{SMCD_BINARY_DIR "/smcctl", "--socket", daemon.socketPath(), "measure", chain};
    std::vector<ChildProcess> anns;
    for (int i = 0; i < 48; ++i) anns.emplace_back(measureChain, as(kAnn));
    EXPECT_TRUE(daemon.logEventuallyContains(kLogPrefix + "walk of uid 501 waits: its share of walk"));
    const auto start = std::chrono::steady_clock::now();
    const auto bobs = smcctl(daemon, {"--json", "measure", "/Users/bob/one"}, as(kBob));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "bob waited on ann's walks";
    EXPECT_EQ(bobs.out, R"([{"path":"/Users/bob/one","bytes":)" + std::to_string(findTotals("/Users/bob/one").first) +
                            R"(,"fileCount":1,"refused":false}])" "\n") << bobs.err;
    for (ChildProcess& ann : anns) EXPECT_TRUE(ann.wait(std::chrono::seconds(120)));
    EXPECT_EQ(run({"/usr/bin/rm", "-rf", chain, "/Users/bob/one"}).status, 0);
}

}  // namespace
}  // namespace smcd::test
