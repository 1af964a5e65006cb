// A measurement request as the daemon handles it, inside the sandbox's
// macOS-like tree, for peers ann (501) and bob (502).

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "measurement/tree_fixture.h"
#include "platform/log/logger.h"
#include "support/log_capture.h"
#include "removal/measurement.h"
#include "support/descriptors.h"
#include "support/removal_records.h"

namespace {

using smcd::platform::CapturedLine;
using smcd::platform::LogLevel;
using smcd::platform::ScopedLogCapture;
using smcd::PrivilegedRemoval::Measurement;
using smcd::PrivilegedRemoval::measurePaths;
using smcd::test::findTotals;
using smcd::test::makeDirectories;
using smcd::test::makeLink;
using smcd::test::writeSized;

constexpr uid_t kAnn = 501;
constexpr uid_t kBob = 502;
const CapturedLine kRefusedLine{LogLevel::Error, "measurement refused by screening: <private>"};

Measurement measured(const std::string& path) {
    const auto [bytes, files] = findTotals(path);
    return {path, bytes, files, false};
}

Measurement refused(const std::string& path) { return {path, 0, 0, true}; }

class MeasurePathsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!std::getenv("SMCD_IN_SANDBOX")) GTEST_SKIP() << "runs in the test sandbox only";
    }

    void SetUp() override {
        descriptorsBefore_ = smcd::test::openDescriptorCount();
        makeDirectories(systemCache_ + "/.hidden/nested");
        makeDirectories(annCache_ + "/sub");
        writeSized(systemCache_ + "/a", 5000);
        writeSized(systemCache_ + "/.hidden/nested/b", 9000);
        writeSized(annCache_ + "/sub/c", 12000);
        const std::vector<std::string> annOwns = {"/Users/ann/Library", "/Users/ann/Library/Caches", annCache_,
                                                  annCache_ + "/sub", annCache_ + "/sub/c"};
        for (const auto& p : annOwns) ASSERT_EQ(::lchown(p.c_str(), kAnn, 20), 0) << p;
        writeSized("/private/var/log/system.log", 7000);
    }

    void TearDown() override {
        std::filesystem::remove_all(systemCache_);
        std::filesystem::remove_all("/Users/ann/Library");
        std::filesystem::remove("/private/var/log/system.log");
        EXPECT_EQ(smcd::test::openDescriptorCount(), descriptorsBefore_);
    }

    const std::string systemCache_ = "/Library/Caches/com.example.measure";
    const std::string annCache_ = "/Users/ann/Library/Caches/com.example.app";

private:
    std::size_t descriptorsBefore_ = 0;
};

TEST_F(MeasurePathsTest, RefusedPathsKeepTheirPlaceAndAFileOrMissingPathMeasuresZero) {
    ScopedLogCapture capture;
    EXPECT_TRUE(measurePaths({}, kAnn).empty());
    EXPECT_TRUE(capture.lines().empty());
    // Links and unscreenable paths are refused, never followed.
    makeLink(systemCache_, "/Library/Caches/link-to-measure");
    const std::string link = "/Library/Caches/link-to-measure";
    const auto records = measurePaths({systemCache_, "/etc/passwd", link, link + "/a", "relative", systemCache_ + "/",
                                       "/Library/Preferences", systemCache_ + "/a", systemCache_ + "/gone", "/var/log"},
                                      kAnn);
    std::filesystem::remove(link);
    EXPECT_EQ(records, (std::vector<Measurement>{measured(systemCache_), refused("/etc/passwd"), refused(link),
                                                 refused(link + "/a"), refused("relative"), refused(systemCache_ + "/"),
                                                 refused("/Library/Preferences"), {systemCache_ + "/a", 0, 0, false},
                                                 {systemCache_ + "/gone", 0, 0, false}, measured("/var/log")}));
    EXPECT_EQ(capture.lines(), std::vector<CapturedLine>(6, kRefusedLine));
    EXPECT_EQ(records[0].fileCount, 2);  // the hidden file is in
}

TEST_F(MeasurePathsTest, RepeatsAreTheSameTextNotTheSamePlace) {
    ScopedLogCapture capture;
    // "é" precomposed and decomposed are one text; /private/var/log and
    // /var/log are two texts naming one directory, judged each on its own
    // (the first is no measurement root as written).
    makeDirectories("/Library/Caches/caf\xC3\xA9");
    writeSized("/Library/Caches/caf\xC3\xA9/x", 100);
    const auto records = measurePaths({"/Library/Caches/caf\xC3\xA9", "/var/log", "/Library/Caches/cafe\xCC\x81",
                                       "/private/var/log", "/var/log", "/nowhere", "/nowhere"},
                                      kAnn);
    std::filesystem::remove_all("/Library/Caches/caf\xC3\xA9");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].path, "/Library/Caches/caf\xC3\xA9");
    EXPECT_EQ(records[0].fileCount, 1);
    EXPECT_EQ(records[1], measured("/var/log"));
    EXPECT_EQ(records[2], refused("/private/var/log"));
    EXPECT_EQ(records[3], refused("/nowhere"));
    EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{kRefusedLine, kRefusedLine}));
}

TEST_F(MeasurePathsTest, InsideAHomeOnlyItsOwnerMayLook) {
    ScopedLogCapture capture;
    const auto forAnn = measurePaths({annCache_, "/Users/ann", "/Users"}, kAnn);
    EXPECT_EQ(forAnn[0], measured(annCache_));
    EXPECT_EQ(forAnn[0].fileCount, 1);
    EXPECT_FALSE(forAnn[1].refused);
    EXPECT_FALSE(forAnn[2].refused);
    EXPECT_TRUE(capture.lines().empty());

    // Bob may size ann's home as a whole, never look inside it.
    const auto forBob = measurePaths({annCache_, "/Users/ann", "/Users/ann/Library"}, kBob);
    EXPECT_EQ(forBob[0], refused(annCache_));
    EXPECT_EQ(forBob[1], measured("/Users/ann"));
    EXPECT_EQ(forBob[2], refused("/Users/ann/Library"));
    EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{kRefusedLine, kRefusedLine}));
}

TEST(MeasurementRecord, EncodesFourKeysInOrderAndDecodesStrictly) {
    const Measurement record{"/var/log", 4096, 3, false};
    EXPECT_EQ(nlohmann::ordered_json(record).dump(), R"({"path":"/var/log","bytes":4096,"fileCount":3,"refused":false})");

    const auto decoded =
        nlohmann::json::parse(R"({"extra":1,"refused":true,"fileCount":2,"bytes":9,"path":"/p"})").get<Measurement>();
    EXPECT_EQ(decoded, (Measurement{"/p", 9, 2, true}));
    EXPECT_THROW(nlohmann::json::parse(R"({"path":"/p","bytes":9,"fileCount":2})").get<Measurement>(),
                 nlohmann::json::exception);
}

}  // namespace
