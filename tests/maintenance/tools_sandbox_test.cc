// In the test sandbox the fixed tool paths can be taken over by steered
// copies of the probe without touching the host.

#include <gtest/gtest.h>

#include "maintenance/command_runners.h"
#include "maintenance/inspection_requests.h"
#include "maintenance/maintenance_tasks.h"
#include "platform/log/logger.h"
#include "probe_support.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace smcd {
namespace {

using platform::CapturedLine;
using platform::LogLevel;
using test::PlacedTool;
using Argvs = std::vector<std::vector<std::string>>;

class Tools : public test::SandboxTest {
protected:
    Argvs recordedArgvs() const { return test::recordedArgvs(calls); }
    test::TempDir scratch;
    std::string calls = scratch / "calls";
};

TEST_F(Tools, EachRunnerStartsItsToolWithExactlyItsArgumentsAndKeepsItsOutputAsIs) {
    PlacedTool lsof("/usr/sbin/lsof", {"record " + calls, "out  p1\\ncsshd\\n\\n", "err lsof: warning", "exit 1"});
    PlacedTool sfltool("/usr/bin/sfltool", {"record " + calls, "out \\n item 1 \\n", "err sfltool stand-in: this line reaches the test log\\n"});
    PlacedTool launchctl("/bin/launchctl", {"record " + calls, "out noise", "if 1 bootout exit 5"});
    EXPECT_EQ(runLsof({"-nP", "-iTCP"}), " p1\ncsshd\n\n");  // failing child, output untouched
    EXPECT_EQ(dumpBackgroundItems(), "\n item 1 \n");
    EXPECT_EQ(runLaunchctl({"bootout", "system/x"}), 5);
    EXPECT_EQ(recordedArgvs(), (Argvs{{"/usr/sbin/lsof", "-nP", "-iTCP"}, {"/usr/bin/sfltool", "dumpbtm"},
                                      {"/bin/launchctl", "bootout", "system/x"}}));
}

TEST_F(Tools, MissingOrUnusableToolsGiveTheFailureResults) {
    EXPECT_EQ(dumpBackgroundItems(), "");
    EXPECT_EQ(systemNetworkConnections(), "\n\x01vornik-section\x01\n");
    test::writeFile("/bin/launchctl", "#!/bin/sh\nexit 0\n", 0644);  // present, not executable
    EXPECT_EQ(runLaunchctl({"list"}), -1);
    ::unlink("/bin/launchctl");
}

TEST_F(Tools, NetworkListingRunsListeningFirstAroundTheSeparator) {
    PlacedTool lsof("/usr/sbin/lsof", {"record " + calls, "if 3 -sTCP:ESTABLISHED out p2\\nn1->2\\n"});
    EXPECT_EQ(systemNetworkConnections(), std::string(kLsofSectionSeparator) + "p2\nn1->2\n");
    EXPECT_EQ(recordedArgvs(), (Argvs{{"/usr/sbin/lsof", "-nP", "-iTCP", "-sTCP:LISTEN", "-F", "pcnT"},
                                      {"/usr/sbin/lsof", "-nP", "-iTCP", "-sTCP:ESTABLISHED", "-F", "pcnT"}}));
}

TEST_F(Tools, MaintenanceTasksRunTheirCommandLinesThroughTheShell) {
    PlacedTool dscacheutil("/usr/sbin/dscacheutil", {"record " + calls, "err flushed\\n", "exit 9"});
    PlacedTool killall("/usr/sbin/killall", {"record " + calls, "out \u00a0hup sent\\n"});
    PlacedTool pmset("/usr/sbin/pmset", {"record " + calls, "exit 7"});
    platform::ScopedLogCapture capture;
    const auto results = runMaintenanceTasks({"dns", "energy.2"});
    EXPECT_TRUE(results == (std::vector<MaintenanceResult>{{"dns", true, 0, "flushed\n\u00a0hup sent"},  // the second's status
                                                           {"energy.2", false, 7, ""}}));
    EXPECT_EQ(recordedArgvs(), (Argvs{{"dscacheutil", "-flushcache"}, {"killall", "-HUP", "mDNSResponder"},
                                      {"pmset", "-a", "powermode", "2"}}));
    EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{{LogLevel::notice, "maintenance 'dns' ok"},
                                                          {LogLevel::error, "maintenance 'energy.2' failed (exit 7)"}}));
}

}  // namespace
}  // namespace smcd
