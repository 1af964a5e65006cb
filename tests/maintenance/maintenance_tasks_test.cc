#include "maintenance/maintenance_tasks.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/limits.h"
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
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_TRUE(results[i] == (MaintenanceResult{ids[i], false, -1, "Unknown maintenance task"})) << ids[i];
    // The app reads these keys.
    EXPECT_EQ(nlohmann::ordered_json(results[0]).dump(), R"({"id":"DNS","ok":false,"exit":-1,"output":"Unknown maintenance task"})");
    const CapturedLine refusal{LogLevel::error, "maintenance rejected: unknown task id '<private>'"};
    EXPECT_EQ(capture.lines(), std::vector<CapturedLine>(ids.size(), refusal));
}

// Past the cap a request runs nothing and answers nothing, with one line;
// once stop is asked for, no further task starts.
TEST(MaintenanceTasks, ARequestOverTheCapRunsNothingAndAStoppedOneNoFurtherTask) {
    platform::ScopedLogCapture capture;
    std::vector<MaintenanceResult> results;
    const auto keep = [&](MaintenanceResult result) {
        results.push_back(std::move(result));
        return true;
    };
    const std::vector<std::string> cap(limits::kMaxMaintenanceTasksPerRequest, "unknown");
    EXPECT_TRUE(runMaintenanceTasks(cap, keep));
    EXPECT_EQ(results.size(), cap.size());
    results.clear();
    const auto refused = runMaintenanceTasks(std::vector<std::string>(cap.size() + 1, "unknown"), keep);
    EXPECT_FALSE(refused);
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(capture.lines().back().message,
              "maintenance request of 17 task ids refused: at most 16 may be named; nothing run (0 more since the "
              "last such line)");

    std::stop_source stop;
    EXPECT_TRUE(runMaintenanceTasks({"one", "two", "three"}, [&](MaintenanceResult result) {
        stop.request_stop();
        return keep(std::move(result));
    }, stop.get_token()));
    EXPECT_EQ(results.size(), 1u);
}

TEST(SnapshotDeletion, IsAlwaysRefusedWithOneLogLine) {
    platform::ScopedLogCapture capture;
    EXPECT_EQ(deleteLocalSnapshots(30, "/"), (SnapshotRefusal{0, "Vornik doesn't remove local snapshots."}));
    EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{
                                   {LogLevel::notice, "snapshot deletion requested \u2014 refused; not implemented"}}));
}

}  // namespace
}  // namespace smcd
