// What a user of smcctl gets from removal and measurement requests.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "measurement/tree_fixture.h"
#include "support/daemon.h"
#include "support/deep_chain.h"

namespace smcd::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kAnn = 501;
constexpr uid_t kBob = 502;
const std::string kOutside = "Outside the directories Vornik's helper is allowed to touch.";
const std::string kLogPrefix = "com.brackenmill.vornik[daemon]: ";

SpawnOptions as(uid_t uid) {
    SpawnOptions options;
    options.uid = uid;
    return options;
}

void makeTree(const std::string& directory, uid_t owner = 0) {
    fs::create_directories(directory + "/sub");
    writeFile(directory + "/file", "data");
    writeFile(directory + "/sub/.hidden", "data");
    if (owner != 0) {
        for (const auto& path : {directory, directory + "/sub", directory + "/file", directory + "/sub/.hidden"}) {
            ASSERT_EQ(::lchown(path.c_str(), owner, 20), 0);
        }
    }
}

std::string removedJSON(const std::string& path) { return R"({"path":")" + path + R"(","removed":true})"; }
std::string refusedJSON(const std::string& path) {
    return R"({"path":")" + path + R"(","removed":false,"problem":")" + kOutside + R"("})";
}

class RemovalEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories("/Users/ann/Library/Caches");
        for (const char* path : {"/Users/ann/Library", "/Users/ann/Library/Caches"}) {
            ASSERT_EQ(::lchown(path, kAnn, 20), 0);
        }
    }
    void TearDown() override {
        for (const char* made : {"/Users/ann/Library", "/Library/Caches/com.example", "/Applications/Some.app",
                                 "/private/var/root/.local", "/private/var/log/old.log", "/private/var/folders/ab",
                                 "/Library/Apple/usr/share/rosetta/rosetta_update_bundle/cache"}) {
            fs::remove_all(made);
        }
    }

    Daemon daemon_;
};

TEST_F(RemovalEndToEnd, ACacheIsDeletedAndARefusedPathIsReportedFirst) {
    makeTree("/Library/Caches/com.example");
    const auto result = smcctl(daemon_, {"--json", "remove", "systemCache", "/Library/Caches/com.example",
                                         "/Library/Preferences/x"},
                               as(kAnn));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "[" + refusedJSON("/Library/Preferences/x") + "," +
                              removedJSON("/Library/Caches/com.example") + "]\n");
    EXPECT_FALSE(fs::exists("/Library/Caches/com.example"));
    EXPECT_TRUE(daemon_.logEventuallyContains("<3>" + kLogPrefix + "removal refused by screening: <private> [systemCache]\n"));
    EXPECT_TRUE(daemon_.logEventuallyContains("<5>" + kLogPrefix + "removed systemCache (deleted)\n"));
}

TEST_F(RemovalEndToEnd, AnEmptyRequestAnswersAnEmptyArray) {
    const auto result = smcctl(daemon_, {"--json", "remove", "systemLogs"}, as(kAnn));
    EXPECT_EQ(result.out, "[]\n") << result.err;
}

TEST_F(RemovalEndToEnd, ABundleGoesToTheDaemonsTrashWhenAskedAndTheTableSaysSo) {
    makeTree("/Applications/Some.app");
    const auto result = smcctl(daemon_, {"remove", "appBundle", "--trash", "/Applications/Some.app"}, as(kAnn));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "REMOVED  PATH                    PROBLEM\nyes      /Applications/Some.app  \n");
    EXPECT_EQ(readFile("/private/var/root/.local/share/Trash/files/Some.app/sub/.hidden"), "data");
    EXPECT_TRUE(daemon_.logEventuallyContains("<5>" + kLogPrefix + "removed appBundle (trashed)\n"));
}

TEST_F(RemovalEndToEnd, SupportFilesHonourTheClientsChoiceAndTheCacheMethodsAlwaysDelete) {
    makeTree("/Users/ann/Library/Caches/com.example", kAnn);
    auto trashed = smcctl(daemon_, {"--json", "remove", "supportFile", "--trash", "/Users/ann/Library/Caches/com.example"},
                          as(kAnn));
    EXPECT_EQ(trashed.out, "[" + removedJSON("/Users/ann/Library/Caches/com.example") + "]\n") << trashed.err;
    EXPECT_TRUE(fs::exists("/private/var/root/.local/share/Trash/files/com.example/file"));
    fs::remove_all("/private/var/root/.local");

    makeTree("/Users/ann/Library/Caches/com.example", kAnn);
    auto deleted = smcctl(
        daemon_, {"--json", "remove", "supportFile", "--permanent", "/Users/ann/Library/Caches/com.example"}, as(kAnn));
    EXPECT_EQ(deleted.out, "[" + removedJSON("/Users/ann/Library/Caches/com.example") + "]\n") << deleted.err;

    // The four cache and log methods take no flag and never use the Trash.
    writeFile("/var/log/old.log", "log");
    makeTree("/var/folders/ab/xyz/C/com.apple.metal");
    makeTree("/Library/Apple/usr/share/rosetta/rosetta_update_bundle/cache");
    makeTree("/Library/Caches/com.example");
    const std::vector<std::pair<std::string, std::string>> families = {
        {"systemLogs", "/var/log/old.log"},
        {"gpuShaderCaches", "/var/folders/ab/xyz/C/com.apple.metal"},
        {"rosettaCaches", "/Library/Apple/usr/share/rosetta/rosetta_update_bundle/cache"},
        {"systemCache", "/Library/Caches/com.example"},
    };
    for (const auto& [family, path] : families) {
        const auto result = smcctl(daemon_, {"--json", "remove", family, path}, as(kAnn));
        EXPECT_EQ(result.out, "[" + removedJSON(path) + "]\n") << family << result.err;
        EXPECT_FALSE(fs::exists(path)) << family;
        EXPECT_TRUE(daemon_.logEventuallyContains("<5>" + kLogPrefix + "removed " + family + " (deleted)\n")) << family;
    }
    EXPECT_FALSE(fs::exists("/private/var/root/.local/share/Trash/files"));
}

TEST_F(RemovalEndToEnd, BobCannotRemoveFromAnnsHome) {
    makeTree("/Users/ann/Library/Caches/com.example", kAnn);
    const auto result = smcctl(
        daemon_, {"--json", "remove", "supportFile", "--permanent", "/Users/ann/Library/Caches/com.example"}, as(kBob));
    EXPECT_EQ(result.out, "[" + refusedJSON("/Users/ann/Library/Caches/com.example") + "]\n") << result.err;
    EXPECT_EQ(readFile("/Users/ann/Library/Caches/com.example/file"), "data");
}

TEST_F(RemovalEndToEnd, MeasurementPrintsSizesAndKeepsRefusedPathsInPlace) {
    makeTree("/Users/ann/Library/Caches/com.example", kAnn);
    writeFile("/var/log/old.log", std::string(10000, 'x'));
    const auto [logBytes, logFiles] = findTotals("/var/log");
    const auto [annBytes, annFiles] = findTotals("/Users/ann/Library/Caches");
    const auto result = smcctl(daemon_, {"--json", "measure", "/var/log", "/Users/bob/Library", "/Users/ann/Library/Caches"},
                               as(kAnn));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "[{\"path\":\"/var/log\",\"bytes\":" + std::to_string(logBytes) +
                              ",\"fileCount\":" + std::to_string(logFiles) + ",\"refused\":false}," +
                              "{\"path\":\"/Users/bob/Library\",\"bytes\":0,\"fileCount\":0,\"refused\":true}," +
                              "{\"path\":\"/Users/ann/Library/Caches\",\"bytes\":" + std::to_string(annBytes) +
                              ",\"fileCount\":" + std::to_string(annFiles) + ",\"refused\":false}]\n");
    EXPECT_EQ(annFiles, 2);
    EXPECT_TRUE(daemon_.logEventuallyContains("<3>" + kLogPrefix + "measurement refused by screening: <private>\n"));

    const auto table = smcctl(daemon_, {"measure", "/Users/bob/Library"}, as(kAnn));
    EXPECT_EQ(table.out, "BYTES  FILES  REFUSED  PATH\n0      0      yes      /Users/bob/Library\n");
}

// A peer's own cache holds a chain far deeper than the daemon's descriptor
// limit. The daemon removes it whole within that limit, and while it works
// another client's removals and measurements are served as usual.
TEST_F(RemovalEndToEnd, AChainDeeperThanTheDescriptorLimitGoesWhileOthersAreServed) {
    const rlimit low{64, 64};
    ASSERT_EQ(::prlimit(daemon_.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
    const std::string chain = "/Users/ann/Library/Caches/deep";
    buildChain(chain, 10000);
    ASSERT_EQ(::lchown(chain.c_str(), kAnn, 20), 0);

    std::atomic<bool> done = false;
    Finished deep{};
    std::thread first([&] {
        deep = smcctl(daemon_, {"--json", "remove", "supportFile", "--permanent", chain}, as(kAnn));
        done = true;
    });
    int servedMeanwhile = 0;
    do {
        makeTree("/Library/Caches/com.example");
        const auto removal = smcctl(daemon_, {"--json", "remove", "systemCache", "/Library/Caches/com.example"}, as(kBob));
        EXPECT_EQ(removal.out, "[" + removedJSON("/Library/Caches/com.example") + "]\n") << removal.err;
        const auto measured = smcctl(daemon_, {"--json", "measure", "/var/log"}, as(kBob));
        EXPECT_EQ(measured.status, 0) << measured.err;
        EXPECT_NE(measured.out.find("\"refused\":false"), std::string::npos) << measured.out;
        if (!done) ++servedMeanwhile;
    } while (!done);
    first.join();
    EXPECT_EQ(deep.out, "[" + removedJSON(chain) + "]\n") << deep.err;
    EXPECT_FALSE(fs::exists(chain));
    EXPECT_GT(servedMeanwhile, 0);
    EXPECT_EQ(daemon_.log().find("denied(24)"), std::string::npos) << daemon_.log();
    EXPECT_EQ(daemon_.log().find("Too many open files"), std::string::npos) << daemon_.log();
}

}  // namespace
}  // namespace smcd::test
