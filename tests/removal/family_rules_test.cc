// Every family against every example path: a path accepted by one family
// must be refused by each of the others unless the table says otherwise, so
// a rule that borrows another family's roots shows up here.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "removal/planted_files.h"
#include "removal/screening.h"

namespace smcd::removal {
namespace {

constexpr uid_t kAnn = 501;
constexpr Target kAllTargets[] = {Target::appBundle,  Target::supportFile,     Target::systemCache,
                                  Target::systemLogs, Target::gpuShaderCaches, Target::rosettaCaches};
using T = Target;

const std::string kDb = "/var/db/powerlog/Library/PerfPowerTelemetry/BackgroundProcessing/CurrentBackgroundProcessingDB.BGSQL";
const std::string kDbUpper = "/var/db/powerlog/Library/PerfPowerTelemetry/BackgroundProcessing/CURRENTBACKGROUNDPROCESSINGDB.BGSQL";
const std::string kCaches = "/Library/Caches", kFolders = "/var/folders", kRosetta = "/Library/Apple/usr/share/rosetta/rosetta_update_bundle";

// Library items of homes that are not ann's: acceptable but for the peer rule.
const std::set<std::string> kOnlyThePeerRuleRefuses{"/Users/bob/Library/Caches/com.example", "/Users/Shared/Library/Caches/x"};

struct Row {
    std::string path;
    std::map<Target, std::string> acceptedWithRoot;  // every other family refuses
    bool measurable;
};
const std::map<Target, std::string> kNone;
const std::map<Target, std::string> kCacheOnly{{T::systemCache, kFolders}};
const std::map<Target, std::string> kShader{{T::systemCache, kFolders}, {T::gpuShaderCaches, kFolders}};

class FamilyRules : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::inSandbox()) GTEST_SKIP() << "plants files in the macOS tree; runs only inside the test sandbox";
        for (const char* dir : {"/Applications/Some.app", "/Applications/Utilities/Some.app", "/Users/ann/Applications/Some.app",
                                "/Applications/Tools/Some.app", "/Applications/Some", "/Applications/Some.app\xCC\x81"})
            planted.directory(dir);
        planted.file("/Applications/File.app");
    }
    test::PlantedFiles planted;
};

TEST_F(FamilyRules, EveryExamplePathForEveryFamilyAndMeasurement) {
    const Row rows[] = {
        // roots themselves are never removable; some are measurable
        {kCaches, kNone, true}, {"/System/Library/Caches", kNone, true}, {kFolders, kNone, true}, {"/var/log", kNone, true},
        {"/Users", kNone, true}, {"/Applications", kNone, false}, {"/Library/Logs", kNone, false},
        {"/private/var/db/receipts", kNone, false}, {kRosetta, kNone, false},
        // systemCache stays narrow
        {"/Library/Caches/com.example", {{T::supportFile, kCaches}, {T::systemCache, kCaches}}, true},
        {"/Library/Caches/~", {{T::supportFile, kCaches}, {T::systemCache, kCaches}}, true},
        {"/Library/Caches/cafe\xCC\x81", {{T::supportFile, kCaches}, {T::systemCache, kCaches}}, true},
        {"/System/Library/Caches/com.apple.x", {{T::systemCache, "/System/Library/Caches"}}, true},
        {"/var/folders/ab/xyz/C/x", kCacheOnly, true},
        {"/Library/Application Support/Vendor", {{T::supportFile, "/Library/Application Support"}}, false},
        {"/Library/LaunchDaemons/com.example.plist", {{T::supportFile, "/Library/LaunchDaemons"}}, false},
        {"/Library/PrivilegedHelperTools/x.helper", {{T::supportFile, "/Library/PrivilegedHelperTools"}}, false},
        {"/Library/Logs/Diagnostic/x.crash", {{T::supportFile, "/Library/Logs"}, {T::systemLogs, "/Library/Logs"}}, false},
        {"/private/var/db/receipts/com.example.bom", {{T::supportFile, "/private/var/db/receipts"}}, false},
        {"/var/db/receipts/com.example.bom", kNone, false}, {"/Library/Caches2/x", kNone, false},
        {"/library/caches/x", kNone, false}, {"/etc/passwd", kNone, false},
        // application bundles: a real directory directly in an application folder
        {"/Applications/Some.app", {{T::appBundle, "/Applications"}}, false},
        {"/Applications/Utilities/Some.app", {{T::appBundle, "/Applications/Utilities"}}, false},
        {"/Users/ann/Applications/Some.app", {{T::appBundle, "/Users"}}, true},
        {"/Applications/Some", kNone, false}, {"/Applications/Tools/Some.app", kNone, false},
        {"/Applications/Missing.app", kNone, false}, {"/Applications/File.app", kNone, false},
        {"/Applications/Some.APP", kNone, false}, {"/Applications/Some.app\xCC\x81", kNone, false},
        // per-user Library items, and the peer rule
        {"/Users/ann/Library/Preferences/com.example.plist", {{T::supportFile, "/Users"}}, true},
        {"/Users/ann/Library/Preferences", kNone, true}, {"/Users/ann/Documents/Library/x/y", kNone, true},
        {"/Users/ann", kNone, true}, {"/Users/bob", kNone, true}, {"/Users/bob/Documents", kNone, false},
        {"/Users/bob/Library/Caches/com.example", kNone, false}, {"/Users/Shared/Library/Caches/x", kNone, false},
        // system logs, never the active power-log database or what holds it
        {"/var/log/system.log", {{T::systemLogs, "/var/log"}}, true},
        {"/var/db/diagnostics/x.tracev3", {{T::systemLogs, "/var/db/diagnostics"}}, false},
        {"/var/db/DiagnosticPipeline/x", {{T::systemLogs, "/var/db/DiagnosticPipeline"}}, false},
        {"/var/db/powerlog/Library/PerfPowerTelemetry/Other.db", {{T::systemLogs, "/var/db/powerlog"}}, false},
        {kDb + "-journal", {{T::systemLogs, "/var/db/powerlog"}}, false},
        {kDb, kNone, false}, {kDb + "-wal", kNone, false}, {kDb + "-shm", kNone, false}, {kDbUpper, kNone, false},
        {kDbUpper + "-WAL", kNone, false}, {kDbUpper + "-SHM", kNone, false},
        {"/var/db/powerlog/Library/PerfPowerTelemetry", kNone, false}, {"/var/db/powerlog/Library", kNone, false},
        {"/var/db/powerlog/LIBRARY/PerfPowerTelemetry/BackgroundProcessing", kNone, false},
        // GPU shader caches by the shape of the path
        {"/var/folders/ab/xyz/C/com.apple.metal", kShader, true}, {"/var/folders/ab/xyz/C/com.apple.metalfe/x", kShader, true},
        {"/var/folders/ab/xyz/C/com.apple.gpuarchiver", kShader, true},
        {"/var/folders/ab/xyz/C/com.example.app/com.apple.metal/x", kShader, true},
        {"/var/folders/ab/xyz/C/com.esetx/com.apple.metal", kShader, true},
        {"/var/folders/ab/xyz/T/com.apple.metal", kCacheOnly, true}, {"/var/folders/ab/xyz/c/com.apple.metal", kCacheOnly, true},
        {"/var/folders/ab/xyz/C/com.example", kCacheOnly, true}, {"/var/folders/ab/xyz/C/com.apple.Metal", kCacheOnly, true},
        {"/var/folders/ab/com.apple.metal", kCacheOnly, true}, {"/var/folders/ab/xyz/C", kCacheOnly, true},
        {"/var/folders/ab/xyz/C\xCC\x81/com.apple.metal", kCacheOnly, true},
        {"/var/folders/ab/xyz/C/com.apple.metal\xCC\x81", kCacheOnly, true},
        {"/var/folders/ab/xyz/C/com.CrowdStrike.falcon/com.apple.metal", kCacheOnly, true},
        {"/var/folders/ab/xyz/C/COM.SENTINELONE.agent/com.apple.metal", kCacheOnly, true},
        {"/var/folders/ab/xyz/C/com.jamf.x/y/com.apple.metal", kCacheOnly, true},
        {"/var/folders/ab/xyz/C/com.cisco.anyconnectX/com.apple.metal", kCacheOnly, true},
        {"/var/folders/ab/xyz/C/com.apple.metal/com.Cisco.SecureClient.ui", kCacheOnly, true},
        // a mark fused to a sensor prefix's last letter still refuses
        {"/var/folders/ab/xyz/C/com.cisco.anyconnect\xCC\x81/com.apple.metal", kCacheOnly, true},
        // Rosetta caches only inside the update bundle
        {kRosetta + "/x", {{T::rosettaCaches, kRosetta}}, false},
        {"/Library/Apple/usr/share/rosetta/x", kNone, false}, {kRosetta + "_x/y", kNone, false},
    };
    for (const Row& row : rows) {
        for (Target target : kAllTargets) {
            SCOPED_TRACE(row.path + " as " + std::string(rawValue(target)));
            const auto expected = row.acceptedWithRoot.find(target);
            const bool accepted = expected != row.acceptedWithRoot.end();
            EXPECT_EQ(accepts(row.path, target, kAnn), accepted);
            EXPECT_EQ(accepts(row.path, target), accepted || (target == T::supportFile && kOnlyThePeerRuleRefuses.count(row.path)));
            EXPECT_EQ(acceptedRoot(row.path, target, kAnn), accepted ? std::optional(expected->second) : std::nullopt);
            if (accepted) {
                EXPECT_EQ(acceptedRoot(row.path, target), expected->second);
            }
        }
        EXPECT_EQ(acceptsMeasurement(row.path, kAnn), row.measurable) << row.path;
        const bool onlyPeerRefusesMeasurement = kOnlyThePeerRuleRefuses.count(row.path) || row.path == "/Users/bob/Documents";
        EXPECT_EQ(acceptsMeasurement(row.path), row.measurable || onlyPeerRefusesMeasurement) << row.path;
    }
}

}  // namespace
}  // namespace smcd::removal
