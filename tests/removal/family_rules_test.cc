// Every family against every example path: a path accepted by one family
// must be refused by each of the others unless the table says otherwise, so
// a rule that borrows another family's roots shows up here.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "removal/planted_files.h"
#include "removal/privileged_removal.h"

namespace smcd::PrivilegedRemoval {
namespace {

constexpr uid_t kAnn = 501;
constexpr Target kAllTargets[] = {Target::appBundle,  Target::supportFile,     Target::systemCache,
                                  Target::systemLogs, Target::gpuShaderCaches, Target::rosettaCaches};

const std::string kPowerLog =
    "/var/db/powerlog/Library/PerfPowerTelemetry/BackgroundProcessing/CurrentBackgroundProcessingDB.BGSQL";
const std::string kPowerLogUpper =
    "/var/db/powerlog/Library/PerfPowerTelemetry/BackgroundProcessing/CURRENTBACKGROUNDPROCESSINGDB.BGSQL";

// Library items of homes that are not ann's: acceptable but for the peer rule.
const std::set<std::string> kOnlyThePeerRuleRefuses{"/Users/bob/Library/Caches/com.example",
                                                    "/Users/Shared/Library/Caches/x"};

struct Row {
    std::string path;
    std::map<Target, std::string> acceptedWithRoot;  // every other family refuses
    bool measurable;
};

class FamilyRules : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::inSandbox()) GTEST_SKIP() << "plants files in the macOS tree; runs only inside the test sandbox";
        planted.directory("/Applications/Some.app");
        planted.directory("/Applications/Utilities/Some.app");
        planted.directory("/Users/ann/Applications/Some.app");
        planted.directory("/Applications/Tools/Some.app");
        planted.directory("/Applications/Some");
        planted.file("/Applications/File.app");
    }
    test::PlantedFiles planted;
};

TEST_F(FamilyRules, EveryExamplePathForEveryFamilyAndMeasurement) {
    const Row rows[] = {
        // Roots themselves are never removable, only measurable where listed.
        {"/Library/Caches", {}, true},
        {"/System/Library/Caches", {}, true},
        {"/var/folders", {}, true},
        {"/var/log", {}, true},
        {"/Users", {}, true},
        {"/Applications", {}, false},
        {"/Library/Logs", {}, false},
        {"/var/db/powerlog", {}, false},
        {"/private/var/db/receipts", {}, false},
        {"/Library/Apple/usr/share/rosetta/rosetta_update_bundle", {}, false},
        // systemCache stays narrow, supportFile shares only /Library/Caches with it
        {"/Library/Caches/com.example",
         {{Target::supportFile, "/Library/Caches"}, {Target::systemCache, "/Library/Caches"}},
         true},
        {"/Library/Caches/~", {{Target::supportFile, "/Library/Caches"}, {Target::systemCache, "/Library/Caches"}}, true},
        {"/System/Library/Caches/com.apple.x", {{Target::systemCache, "/System/Library/Caches"}}, true},
        {"/var/folders/ab/xyz/C/x", {{Target::systemCache, "/var/folders"}}, true},
        {"/Library/Application Support/Vendor", {{Target::supportFile, "/Library/Application Support"}}, false},
        {"/Library/Preferences/com.example.plist", {{Target::supportFile, "/Library/Preferences"}}, false},
        {"/Library/LaunchAgents/com.example.plist", {{Target::supportFile, "/Library/LaunchAgents"}}, false},
        {"/Library/LaunchDaemons/com.example.plist", {{Target::supportFile, "/Library/LaunchDaemons"}}, false},
        {"/Library/PrivilegedHelperTools/com.example.helper", {{Target::supportFile, "/Library/PrivilegedHelperTools"}}, false},
        {"/Library/Logs/DiagnosticReports/x.crash",
         {{Target::supportFile, "/Library/Logs"}, {Target::systemLogs, "/Library/Logs"}},
         false},
        {"/private/var/db/receipts/com.example.bom", {{Target::supportFile, "/private/var/db/receipts"}}, false},
        {"/var/db/receipts/com.example.bom", {}, false},
        {"/Library/Caches2/x", {}, false},
        {"/library/caches/x", {}, false},
        {"/etc/passwd", {}, false},
        {"/System/Library/Extensions/x.kext", {}, false},
        // application bundles: a real directory directly in an application folder
        {"/Applications/Some.app", {{Target::appBundle, "/Applications"}}, false},
        {"/Applications/Utilities/Some.app", {{Target::appBundle, "/Applications/Utilities"}}, false},
        {"/Users/ann/Applications/Some.app", {{Target::appBundle, "/Users"}}, true},
        {"/Applications/Some", {}, false},
        {"/Applications/Tools/Some.app", {}, false},
        {"/Applications/Missing.app", {}, false},
        {"/Applications/File.app", {}, false},
        {"/Applications/Some.APP", {}, false},
        // per-user Library items
        {"/Users/ann/Library/Preferences/com.example.plist", {{Target::supportFile, "/Users"}}, true},
        {"/Users/ann/Library/Caches/com.example", {{Target::supportFile, "/Users"}}, true},
        {"/Users/ann/Library/Preferences", {}, true},
        {"/Users/ann/Documents/Library/x/y", {}, true},
        {"/Users/ann", {}, true},
        {"/Users/bob", {}, true},
        {"/Users/bob/Documents", {}, false},
        {"/Users/bob/Library/Caches/com.example", {}, false},
        {"/Users/Shared/Library/Caches/x", {}, false},
        // system logs, never the active power-log database or what holds it
        {"/var/log/system.log", {{Target::systemLogs, "/var/log"}}, true},
        {"/var/db/diagnostics/Persist/x.tracev3", {{Target::systemLogs, "/var/db/diagnostics"}}, false},
        {"/var/db/DiagnosticPipeline/x", {{Target::systemLogs, "/var/db/DiagnosticPipeline"}}, false},
        {"/var/db/powerlog/Library/PerfPowerTelemetry/Other.db", {{Target::systemLogs, "/var/db/powerlog"}}, false},
        {kPowerLog + "-journal", {{Target::systemLogs, "/var/db/powerlog"}}, false},
        {kPowerLog, {}, false},
        {kPowerLog + "-wal", {}, false},
        {kPowerLog + "-shm", {}, false},
        {kPowerLogUpper, {}, false},
        {kPowerLogUpper + "-WAL", {}, false},
        {kPowerLogUpper + "-SHM", {}, false},
        {"/var/db/powerlog/Library/PerfPowerTelemetry", {}, false},
        {"/var/db/powerlog/LIBRARY/PerfPowerTelemetry/BackgroundProcessing", {}, false},
        {"/var/db/powerlog/Library", {}, false},
        // GPU shader caches by the shape of the path
        {"/var/folders/ab/xyz/C/com.apple.metal",
         {{Target::systemCache, "/var/folders"}, {Target::gpuShaderCaches, "/var/folders"}},
         true},
        {"/var/folders/ab/xyz/C/com.apple.metalfe/x",
         {{Target::systemCache, "/var/folders"}, {Target::gpuShaderCaches, "/var/folders"}},
         true},
        {"/var/folders/ab/xyz/C/com.apple.gpuarchiver",
         {{Target::systemCache, "/var/folders"}, {Target::gpuShaderCaches, "/var/folders"}},
         true},
        {"/var/folders/ab/xyz/C/com.example.app/com.apple.metal/x",
         {{Target::systemCache, "/var/folders"}, {Target::gpuShaderCaches, "/var/folders"}},
         true},
        {"/var/folders/ab/xyz/T/com.apple.metal", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/xyz/c/com.apple.metal", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/xyz/C/com.example", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/xyz/C/com.apple.Metal", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/com.apple.metal", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/xyz/C", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/xyz/C/com.CrowdStrike.falcon/com.apple.metal", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/xyz/C/COM.SENTINELONE.agent/com.apple.metal", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/xyz/C/com.jamf.x/y/com.apple.metal", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/xyz/C/com.cisco.anyconnectX/com.apple.metal", {{Target::systemCache, "/var/folders"}}, true},
        {"/var/folders/ab/xyz/C/com.apple.metal/com.Cisco.SecureClient.ui", {{Target::systemCache, "/var/folders"}}, true},
        // the sensor prefixes end in "." except the Cisco ones
        {"/var/folders/ab/xyz/C/com.esetx/com.apple.metal",
         {{Target::systemCache, "/var/folders"}, {Target::gpuShaderCaches, "/var/folders"}},
         true},
        // Rosetta caches only inside the update bundle
        {"/Library/Apple/usr/share/rosetta/rosetta_update_bundle/x",
         {{Target::rosettaCaches, "/Library/Apple/usr/share/rosetta/rosetta_update_bundle"}},
         false},
        {"/Library/Apple/usr/share/rosetta/x", {}, false},
        {"/Library/Apple/usr/share/rosetta/rosetta_update_bundle_x/y", {}, false},
    };
    for (const Row& row : rows) {
        for (Target target : kAllTargets) {
            const auto expected = row.acceptedWithRoot.find(target);
            const bool accepted = expected != row.acceptedWithRoot.end();
            SCOPED_TRACE(row.path + " as " + std::string(rawValue(target)));
            EXPECT_EQ(accepts(row.path, target, kAnn), accepted);
            const bool onlyThePeerRefuses = target == Target::supportFile && kOnlyThePeerRuleRefuses.count(row.path);
            EXPECT_EQ(accepts(row.path, target), accepted || onlyThePeerRefuses);
            if (accepted) {
                EXPECT_EQ(acceptedRoot(row.path, target, kAnn), expected->second);
                EXPECT_EQ(acceptedRoot(row.path, target), expected->second);
            } else {
                EXPECT_EQ(acceptedRoot(row.path, target, kAnn), std::nullopt);
            }
        }
        EXPECT_EQ(acceptsMeasurement(row.path, kAnn), row.measurable) << row.path << " for measurement";
        EXPECT_EQ(acceptsMeasurement(row.path), row.measurable || kOnlyThePeerRuleRefuses.count(row.path) > 0 ||
                                                    row.path == "/Users/bob/Documents")
            << row.path << " for measurement without the peer rule";
    }
}

TEST_F(FamilyRules, RootResolutionPrefersTheLongestRootAndSkipsTheShapeChecks) {
    // Root resolution answers for any path below a root; the family rule
    // alone decides acceptance.
    EXPECT_EQ(acceptedRoot(kPowerLog, Target::systemLogs), "/var/db/powerlog");
    EXPECT_EQ(acceptedRoot("/var/folders/ab/xyz/T/x", Target::gpuShaderCaches), "/var/folders");
    EXPECT_EQ(acceptedRoot("/Applications/Missing.app", Target::appBundle), "/Applications");
    EXPECT_EQ(acceptedRoot("/Applications/Utilities/Missing.app", Target::appBundle), "/Applications/Utilities");
    EXPECT_EQ(acceptedRoot("/Users/bob/Applications/X.app", Target::appBundle), "/Users");
    EXPECT_EQ(acceptedRoot("/Users/bob/Library/Caches/x", Target::supportFile), "/Users");
    EXPECT_EQ(acceptedRoot("/Applications/Tools/X.app", Target::appBundle), std::nullopt);
    EXPECT_EQ(acceptedRoot("/Library/Caches", Target::systemCache), std::nullopt);
    EXPECT_EQ(acceptedRoot("/Library/Caches/", Target::systemCache), std::nullopt);
    // With the peer rule, another user's item has no root at all.
    EXPECT_EQ(acceptedRoot("/Users/bob/Library/Caches/x", Target::supportFile, kAnn), std::nullopt);
    EXPECT_EQ(acceptedRoot("/Users/bob/Library/Caches/x", Target::supportFile, 502), "/Users");
}

TEST_F(FamilyRules, ComparesNamesByCanonicalEquivalence) {
    const std::string composed = "caf\xC3\xA9";
    const std::string decomposed = "cafe\xCC\x81";
    planted.directory("/Applications/" + decomposed + ".app");
    EXPECT_TRUE(accepts("/Applications/" + decomposed + ".app", Target::appBundle, kAnn));
    // A mark after ".app" fuses with its last letter: another ending.
    planted.directory("/Applications/Some.app\xCC\x81");
    EXPECT_FALSE(accepts("/Applications/Some.app\xCC\x81", Target::appBundle, kAnn));
    EXPECT_EQ(acceptedRoot("/Users/" + composed + "/Library/Caches/x", Target::supportFile), "/Users");
    // The folder names of the shape check match in either spelling; a
    // combining mark after a name makes it another name.
    EXPECT_FALSE(accepts("/var/folders/ab/xyz/C/com.apple.metal\xCC\x81", Target::gpuShaderCaches, kAnn));
    EXPECT_FALSE(accepts("/var/folders/ab/xyz/C\xCC\x81/com.apple.metal", Target::gpuShaderCaches, kAnn));
    EXPECT_FALSE(accepts("/Library/Caches/\xCC\x81", Target::systemCache, kAnn));
    // A sensor prefix with a mark fused to its last letter still refuses.
    EXPECT_FALSE(accepts("/var/folders/ab/xyz/C/com.cisco.anyconnect\xCC\x81/com.apple.metal",
                         Target::gpuShaderCaches, kAnn));
    EXPECT_TRUE(accepts("/Library/Caches/" + decomposed, Target::systemCache, kAnn));
}

}  // namespace
}  // namespace smcd::PrivilegedRemoval
