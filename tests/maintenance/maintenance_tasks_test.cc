#include "maintenance/maintenance_tasks.h"

#include <gtest/gtest.h>

#include "maintenance/inspection_requests.h"
#include "platform/log/logger.h"
#include "support/log_capture.h"

namespace smcd {
namespace {

using platform::CapturedLine;
using platform::LogLevel;

TEST(MaintenanceTasks, UnknownIdsAreRefusedEachWithoutRunningAnything) {
    platform::ScopedLogCapture capture;
    const std::vector<std::string> ids = {"DNS", "energy.3", "", " dns", "dns; reboot"};
    const auto results = runMaintenanceTasks(ids);
    ASSERT_EQ(results.size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_TRUE(results[i] == (MaintenanceResult{ids[i], false, -1, "Unknown maintenance task"})) << ids[i];
    }
    const CapturedLine refusal{LogLevel::Error, "maintenance rejected: unknown task id '<private>'"};
    EXPECT_EQ(capture.lines(), std::vector<CapturedLine>(ids.size(), refusal));
    EXPECT_EQ(nlohmann::ordered_json(runMaintenanceTasks({})).dump(), "[]");
}

TEST(MaintenanceResultJson, EncodesKeysInOrderAndDecodesOnlyCompleteRecords) {
    const MaintenanceResult result{"energy.1", false, -1, "sh: \"pmset\"\n"};
    const std::string text = nlohmann::ordered_json(std::vector{result}).dump();
    EXPECT_EQ(text, R"([{"id":"energy.1","ok":false,"exit":-1,"output":"sh: \"pmset\"\n"}])");
    EXPECT_TRUE(nlohmann::json::parse(text).at(0).get<MaintenanceResult>() == result);

    for (const char* json : {R"({"ok":true,"exit":0,"output":""})", R"({"id":"a","ok":true,"exit":0})",
                             R"({"id":"a","ok":"yes","exit":0,"output":""})", R"({"id":"a","ok":true,"exit":0.5,"output":""})",
                             R"({"id":"a","ok":true,"exit":2147483648,"output":""})",
                             R"({"id":"a","ok":true,"exit":18446744073709551615,"output":""})"}) {
        EXPECT_THROW(nlohmann::json::parse(json).get<MaintenanceResult>(), nlohmann::json::exception) << json;
    }
}

TEST(SnapshotDeletion, IsAlwaysRefusedWithOneLogLine) {
    platform::ScopedLogCapture capture;
    EXPECT_EQ(deleteLocalSnapshots(30, "/"), (SnapshotRefusal{0, "Vornik doesn't remove local snapshots."}));
    EXPECT_EQ(deleteLocalSnapshots(-1, ""), (SnapshotRefusal{0, "Vornik doesn't remove local snapshots."}));
    const CapturedLine line{LogLevel::Default, "snapshot deletion requested \u2014 refused; not implemented"};
    EXPECT_EQ(capture.lines(), std::vector<CapturedLine>(2, line));
}

}  // namespace
}  // namespace smcd
