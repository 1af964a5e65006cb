// Runs inside the test sandbox, where the fixed tool paths can be taken over
// by steered copies of the probe without touching the host.

#include <gtest/gtest.h>

#include "maintenance/command_runners.h"
#include "maintenance/inspection_requests.h"
#include "maintenance/maintenance_tasks.h"
#include "maintenance/tool_environment.h"
#include "platform/log/logger.h"
#include "probe_support.h"
#include "result_printing.h"
#include "support/temp_dir.h"

namespace smcd {
namespace {

using platform::CapturedLine;
using platform::LogLevel;
using test::HiddenPath;
using test::parseReports;
using test::PlacedTool;

class ToolsInSandbox : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("SMCD_IN_SANDBOX")) GTEST_SKIP() << "needs the test sandbox";
    }
    test::TempDir scratch;
    std::string calls = scratch / "calls";
    std::vector<test::ProbeReport> recorded() const { return parseReports(test::readFile(calls)); }
};

std::string ownStandardError() {
    char target[4096];
    const ssize_t n = ::readlink("/proc/self/fd/2", target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

TEST_F(ToolsInSandbox, LsofGetsItsArgumentsAloneAndItsOutputComesBackUntouched) {
    PlacedTool lsof("/usr/sbin/lsof", {"record " + calls, "out  p1\\ncsshd\\n\\n", "err lsof: warning", "exit 1"});
    EXPECT_EQ(runLsof({"-nP", "-iTCP"}), " p1\ncsshd\n\n");
    const auto reports = recorded();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].argv, (std::vector<std::string>{"/usr/sbin/lsof", "-nP", "-iTCP"}));
    EXPECT_EQ(reports[0].env, toolEnvironment());
    EXPECT_EQ(reports[0].fds, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(reports[0].links[2], "/dev/null");
}

TEST_F(ToolsInSandbox, BackgroundItemDumpSharesTheDaemonsStandardError) {
    PlacedTool sfltool("/usr/bin/sfltool", {"record " + calls, "out \\n item 1 \\n", "exit 2"});
    EXPECT_EQ(dumpBackgroundItems(), "\n item 1 \n");
    const auto reports = recorded();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].argv, (std::vector<std::string>{"/usr/bin/sfltool", "dumpbtm"}));
    EXPECT_EQ(reports[0].env, toolEnvironment());
    EXPECT_EQ(reports[0].links[2], ownStandardError());
}

TEST_F(ToolsInSandbox, LaunchctlStatusIsReturnedAndItsOutputDiscarded) {
    PlacedTool launchctl("/bin/launchctl", {"record " + calls, "out noise", "if 1 bootout exit 5"});
    EXPECT_EQ(runLaunchctl({"bootout", "system/com.example.job"}), 5);
    EXPECT_EQ(runLaunchctl({"enable", "system/com.example.job"}), 0);
    const auto reports = recorded();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].argv, (std::vector<std::string>{"/bin/launchctl", "bootout", "system/com.example.job"}));
    EXPECT_EQ(reports[1].links, (std::vector<std::string>{reports[1].links[0], "/dev/null", "/dev/null"}));
    EXPECT_EQ(reports[1].env, toolEnvironment());
}

TEST_F(ToolsInSandbox, MissingOrUnusableToolsGiveTheFailureResults) {
    EXPECT_EQ(runLaunchctl({"list"}), -1);
    EXPECT_EQ(runLsof({"-nP"}), "");
    EXPECT_EQ(dumpBackgroundItems(), "");
    EXPECT_EQ(systemNetworkConnections(), vornikLsofSectionSeparator);
    EXPECT_EQ(systemNetworkConnections().size(), 18u);

    test::writeFile("/bin/launchctl", "#!/bin/sh\nexit 0\n", 0644);  // present but not executable
    EXPECT_EQ(runLaunchctl({"list"}), -1);
    ::unlink("/bin/launchctl");

    HiddenPath noShell("/bin/sh");
    const RunResult shell = runShell("exit 0");
    EXPECT_EQ(shell.status, -1);
    EXPECT_NE(shell.output.find("/bin/sh"), std::string::npos) << shell.output;
}

TEST_F(ToolsInSandbox, NetworkListingRunsListeningFirstAroundTheSeparator) {
    PlacedTool lsof("/usr/sbin/lsof", {"record " + calls, "if 3 -sTCP:ESTABLISHED out p2\\nn1->2\\n"});
    EXPECT_EQ(systemNetworkConnections(), std::string(vornikLsofSectionSeparator) + "p2\nn1->2\n");
    const auto reports = recorded();
    ASSERT_EQ(reports.size(), 2u);
    const std::vector<std::string> listening{"/usr/sbin/lsof", "-nP", "-iTCP", "-sTCP:LISTEN", "-F", "pcnT"};
    const std::vector<std::string> established{"/usr/sbin/lsof", "-nP", "-iTCP", "-sTCP:ESTABLISHED", "-F", "pcnT"};
    EXPECT_EQ(reports[0].argv, listening);
    EXPECT_EQ(reports[1].argv, established);
}

TEST_F(ToolsInSandbox, MaintenanceTasksRunTheirCommandLinesThroughTheShell) {
    PlacedTool dscacheutil("/usr/sbin/dscacheutil", {"record " + calls, "err flushed\\n", "exit 9"});
    PlacedTool killall("/usr/sbin/killall", {"record " + calls, "out \u00a0hup sent\\n"});
    PlacedTool pmset("/usr/sbin/pmset", {"record " + calls, "if 3 2 exit 7", "out mode set\\n"});
    platform::ScopedLogCapture capture;

    const auto results = runMaintenanceTasks({"dns", "energy.1", "nope", "energy.1", "energy.2"});
    const std::vector<MaintenanceResult> expected = {
        {"dns", true, 0, "flushed\n\u00a0hup sent"},
        {"energy.1", true, 0, "mode set"},
        {"nope", false, -1, "Unknown maintenance task"},
        {"energy.1", true, 0, "mode set"},
        {"energy.2", false, 7, ""},
    };
    EXPECT_EQ(results, expected);
    std::vector<std::vector<std::string>> argvs;
    for (const auto& report : recorded()) argvs.push_back(report.argv);
    const std::vector<std::vector<std::string>> expectedArgvs = {
        {"dscacheutil", "-flushcache"}, {"killall", "-HUP", "mDNSResponder"}, {"pmset", "-a", "powermode", "1"},
        {"pmset", "-a", "powermode", "1"}, {"pmset", "-a", "powermode", "2"},
    };
    EXPECT_EQ(argvs, expectedArgvs);
    const std::vector<CapturedLine> lines = {
        {LogLevel::Default, "maintenance 'dns' ok"},
        {LogLevel::Default, "maintenance 'energy.1' ok"},
        {LogLevel::Error, "maintenance rejected: unknown task id '<private>'"},
        {LogLevel::Default, "maintenance 'energy.1' ok"},
        {LogLevel::Error, "maintenance 'energy.2' failed (exit 7)"},
    };
    EXPECT_EQ(capture.lines(), lines);
}

TEST_F(ToolsInSandbox, MaintenanceWithoutAShellFailsWithTheLaunchError) {
    HiddenPath noShell("/bin/sh");
    platform::ScopedLogCapture capture;
    const MaintenanceResult result = runMaintenanceTask("spotlight");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.exit, -1);
    EXPECT_EQ(result.output, runShell("true").output);
    EXPECT_NE(result.output, "");
    EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{{LogLevel::Error, "maintenance 'spotlight' failed (exit -1)"}}));
}

}  // namespace
}  // namespace smcd
