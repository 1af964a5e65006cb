#include "maintenance/maintenance_tasks.h"

#include <gtest/gtest.h>

#include "maintenance/inspection_requests.h"
#include "platform/log/logger.h"
#include "result_printing.h"

namespace smcd {
namespace {

using platform::CapturedLine;
using platform::LogLevel;

TEST(MaintenanceTable, HoldsExactlyTheFiveCommandLines) {
    const MaintenanceCommandTable expected{
        {"dns", "dscacheutil -flushcache; killall -HUP mDNSResponder"},
        {"spotlight", "mdutil -i on /; mdutil -E /"},
        {"energy.0", "pmset -a powermode 0"},
        {"energy.1", "pmset -a powermode 1"},
        {"energy.2", "pmset -a powermode 2"},
    };
    EXPECT_EQ(vornikAdminMaintenanceCommands(), expected);
}

TEST(MaintenanceTasks, UnknownIdsAreRefusedEachWithoutRunningAnything) {
    platform::ScopedLogCapture capture;
    const std::vector<std::string> ids = {"DNS", "energy.3", "", " dns", "dns; reboot", "spotlight\n"};
    const auto results = runMaintenanceTasks(ids);
    ASSERT_EQ(results.size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(results[i], (MaintenanceResult{ids[i], false, -1, "Unknown maintenance task"}));
    }
    const CapturedLine refusal{LogLevel::Error, "maintenance rejected: unknown task id '<private>'"};
    EXPECT_EQ(capture.lines(), std::vector<CapturedLine>(ids.size(), refusal));
}

TEST(MaintenanceTasks, EmptyRequestRunsNothingAndEncodesAsEmptyArray) {
    platform::ScopedLogCapture capture;
    const auto results = runMaintenanceTasks({});
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(nlohmann::ordered_json(results).dump(), "[]");
    EXPECT_TRUE(capture.lines().empty());
}

TEST(MaintenanceResultJson, EncodesKeysInOrderAndDecodesOnlyCompleteRecords) {
    const MaintenanceResult result{"energy.1", false, -1, "sh: \"pmset\"\n"};
    const std::string text = nlohmann::ordered_json(std::vector{result}).dump();
    EXPECT_EQ(text, R"([{"id":"energy.1","ok":false,"exit":-1,"output":"sh: \"pmset\"\n"}])");
    EXPECT_EQ(nlohmann::json::parse(text).at(0).get<MaintenanceResult>(), result);

    const char* broken[] = {
        R"({"ok":true,"exit":0,"output":""})",
        R"({"id":"dns","exit":0,"output":""})",
        R"({"id":"dns","ok":true,"output":""})",
        R"({"id":"dns","ok":true,"exit":0})",
        R"({"id":"dns","ok":"yes","exit":0,"output":""})",
        R"({"id":"dns","ok":true,"exit":0.5,"output":""})",
        R"({"id":"dns","ok":true,"exit":2147483648,"output":""})",
        R"({"id":"dns","ok":true,"exit":-2147483649,"output":""})",
        R"({"id":"dns","ok":true,"exit":18446744073709551615,"output":""})",
    };
    for (const char* json : broken) {
        EXPECT_THROW(nlohmann::json::parse(json).get<MaintenanceResult>(), nlohmann::json::exception) << json;
    }
    EXPECT_EQ(nlohmann::json::parse(R"({"id":"x","ok":false,"exit":-2147483648,"output":""})")
                  .get<MaintenanceResult>()
                  .exit,
              INT32_MIN);
}

TEST(SnapshotDeletion, IsAlwaysRefusedWithOneLogLine) {
    platform::ScopedLogCapture capture;
    for (const auto& [days, volume] : {std::pair<std::int64_t, std::string>{30, "/"}, {-1, ""}, {INT64_MAX, "/Volumes/x"}}) {
        EXPECT_EQ(deleteLocalSnapshots(days, volume), (SnapshotRefusal{0, "Vornik doesn't remove local snapshots."}));
    }
    const CapturedLine line{LogLevel::Default, "snapshot deletion requested \u2014 refused; not implemented"};
    EXPECT_EQ(capture.lines(), std::vector<CapturedLine>(3, line));
}

}  // namespace
}  // namespace smcd
