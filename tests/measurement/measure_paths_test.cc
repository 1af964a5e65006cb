// A measurement request as the daemon handles it, inside the sandbox's
// macOS-like tree, for peer ann (501).

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/log/logger.h"
#include "removal/measurement.h"
#include "support/descriptors.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/tree.h"

namespace smcd::test {
namespace {

using platform::CapturedLine;
using platform::ScopedLogCapture;
using removal::Measurement;
using removal::measurePaths;
using Records = std::vector<Measurement>;

constexpr uid_t kAnn = 501;
const CapturedLine kRefusedLine{platform::LogLevel::error, "measurement refused by screening: <private>"};

Measurement measured(const std::string& path) {
    const auto [bytes, files] = findTotals(path);
    return {path, bytes, files, false};
}
Measurement refused(const std::string& path) { return {path, 0, 0, true}; }

class MeasurePathsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test::inSandbox()) GTEST_SKIP() << "runs in the test sandbox only";
    }
    void SetUp() override {
        descriptorsBefore_ = openDescriptorCount();
        std::filesystem::create_directories(systemCache_ + "/.hidden/nested");
        std::filesystem::create_directories(annCache_ + "/sub");
        writeSized(systemCache_ + "/a", 5000);
        writeSized(systemCache_ + "/.hidden/nested/b", 9000);
        writeSized(annCache_ + "/sub/c", 12000);
        giveTo("/Users/ann/Library", kAnn);
        writeSized("/private/var/log/system.log", 7000);
    }
    void TearDown() override {
        std::filesystem::remove_all(systemCache_);
        std::filesystem::remove_all("/Users/ann/Library");
        std::filesystem::remove("/private/var/log/system.log");
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore_);
    }

    const std::string systemCache_ = "/Library/Caches/com.example.measure";
    const std::string annCache_ = "/Users/ann/Library/Caches/com.example.app";

private:
    std::size_t descriptorsBefore_ = 0;
};

TEST_F(MeasurePathsTest, RefusedPathsKeepTheirPlaceAndAFileOrMissingPathMeasuresZero) {
    ScopedLogCapture capture;
    EXPECT_TRUE(measurePaths({}, kAnn).empty());
    // Links and unscreenable paths are refused, never followed.
    const std::string link = "/Library/Caches/link-to-measure";
    makeLink(systemCache_, link);
    const auto records = measurePaths({systemCache_, "/etc/passwd", link, link + "/a", "relative", systemCache_ + "/",
                                       systemCache_ + "/a", systemCache_ + "/gone"},
                                      kAnn);
    std::filesystem::remove(link);
    EXPECT_EQ(records, (Records{measured(systemCache_), refused("/etc/passwd"), refused(link), refused(link + "/a"),
                                refused("relative"), refused(systemCache_ + "/"), {systemCache_ + "/a", 0, 0, false},
                                {systemCache_ + "/gone", 0, 0, false}}));
    EXPECT_EQ(capture.lines(), std::vector<CapturedLine>(5, kRefusedLine));
    EXPECT_EQ(records[0].fileCount, 2);  // the hidden file is in
}

TEST_F(MeasurePathsTest, RepeatsAreTheSameTextNotTheSamePlace) {
    ScopedLogCapture capture;
    // "é" precomposed and decomposed are one text; /private/var/log and
    // /var/log are two texts naming one directory, judged each on its own
    // (the first is no measurement root as written).
    std::filesystem::create_directories(systemCache_ + "/caf\xC3\xA9");
    writeSized(systemCache_ + "/caf\xC3\xA9/x", 100);
    const auto records = measurePaths({systemCache_ + "/caf\xC3\xA9", "/var/log", systemCache_ + "/cafe\xCC\x81",
                                       "/private/var/log", "/var/log", "/nowhere", "/nowhere"},
                                      kAnn);
    EXPECT_EQ(records, (Records{measured(systemCache_ + "/caf\xC3\xA9"), measured("/var/log"),
                                refused("/private/var/log"), refused("/nowhere")}));
    EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{kRefusedLine, kRefusedLine}));
}

}  // namespace
}  // namespace smcd::test
