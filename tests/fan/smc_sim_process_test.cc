// The smc-sim executable: its command line, readiness, and a clean stop.

#include <signal.h>

#include <gtest/gtest.h>

#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace smcd::test {
namespace {

TEST(SimCommandLine, ListsItsProfilesAndRefusesBadArgumentsWithoutStarting) {
    const auto run = runSimToCompletion({"--list-profiles"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output.rfind("apple-silicon-laptop\t", 0), 0u) << run.output;
    for (const char* name : {"\napple-silicon-newer\t", "\nintel-laptop\t", "\ndesktop\t", "\nfanless-laptop\t"}) {
        EXPECT_NE(run.output.find(name), std::string::npos) << name;
    }
    TempDir dir;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--profile", "nonesuch"}, {"--hold", "-3"}, {"--frobnicate", "1"}, {"--socket"}}) {
        std::vector<std::string> all = {"--socket", dir / "s", "--control", dir / "c"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(runSimToCompletion(all).status, 64) << arguments[0];
        EXPECT_FALSE(exists(dir / "s"));
    }
}

TEST(SimProcessLife, PlaysTheChosenProfileAndASecondSimulatorOnTheSamePathsGivesWay) {
    TempDir dir;
    SimProcess sim(dir / "smc.socket", dir / "control.socket", {"--profile", "desktop"});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(sim.command("profile"), "ok desktop");
    EXPECT_EQ(runSimToCompletion({"--socket", dir / "smc.socket", "--control", dir / "control.socket"}).status, 1);
    EXPECT_EQ(sim.command("ping"), "ok smc-sim");
}

TEST(SimProcessLife, TerminateOrInterruptStopsCleanlyAndRemovesTheSockets) {
    for (const int signal : {SIGTERM, SIGINT}) {
        TempDir dir;
        SimProcess sim(dir / "smc.socket", dir / "control.socket");
        ASSERT_TRUE(sim.ready());
        EXPECT_TRUE(exists(dir / "smc.socket"));
        EXPECT_EQ(sim.stop(signal), 0) << signal;
        EXPECT_FALSE(exists(dir / "smc.socket")) << signal;
        EXPECT_FALSE(exists(dir / "control.socket")) << signal;
    }
}

}  // namespace
}  // namespace smcd::test
