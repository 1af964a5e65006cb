// The smc-sim executable: its command line, readiness, and a clean stop.

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace smcd::test {
namespace {

TEST(SimCommandLine, ListsItsProfilesDefaultFirst) {
    const auto run = runSimToCompletion({"--list-profiles"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output.rfind("apple-silicon-laptop\t", 0), 0u) << run.output;
    for (const char* name : {"\napple-silicon-newer\t", "\nintel-laptop\t", "\ndesktop\t", "\nfanless-laptop\t"}) {
        EXPECT_NE(run.output.find(name), std::string::npos) << name;
    }
}

TEST(SimCommandLine, RefusesUnknownProfilesAndFlagsWithoutStarting) {
    TempDir dir;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--profile", "nonesuch"}, {"--hold", "-3"}, {"--frobnicate", "1"}, {"--socket"}}) {
        std::vector<std::string> all = {"--socket", dir / "s", "--control", dir / "c"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(runSimToCompletion(all).status, 64) << arguments[0];
        EXPECT_FALSE(exists(dir / "s"));
    }
}

TEST(SimProcessLife, PlaysTheChosenProfileAndStopsCleanlyOnSigterm) {
    TempDir dir;
    SimProcess sim(dir / "smc.socket", dir / "control.socket", {"--profile", "desktop", "--hold", "0"});
    ASSERT_TRUE(sim.ready());
    EXPECT_TRUE(exists(dir / "smc.socket"));
    EXPECT_EQ(sim.command("profile"), "ok desktop");
    EXPECT_EQ(sim.command("value FNum"), "ok 1");
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(exists(dir / "smc.socket"));
    EXPECT_FALSE(exists(dir / "control.socket"));
}

TEST(SimProcessLife, TheHoldFlagSetsTheThermalManagersHold) {
    TempDir dir;
    SimProcess quick(dir / "a.socket", dir / "a.control", {"--hold", "0"});
    ASSERT_TRUE(quick.ready());
    EXPECT_EQ(quick.command("set Ftst 1"), "ok");
    EXPECT_EQ(quick.command("held"), "ok no");
    SimProcess slow(dir / "b.socket", dir / "b.control", {"--hold", "600"});
    ASSERT_TRUE(slow.ready());
    EXPECT_EQ(slow.command("set Ftst 1"), "ok");
    EXPECT_EQ(slow.command("held"), "ok yes");
}

TEST(SimProcessLife, InterruptAlsoRemovesTheSockets) {
    TempDir dir;
    SimProcess sim(dir / "smc.socket", dir / "control.socket");
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(::kill(sim.pid(), SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(sim.pid(), &status, 0), sim.pid());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(exists(dir / "smc.socket"));
    EXPECT_FALSE(exists(dir / "control.socket"));
}

TEST(SimProcessLife, ASecondSimulatorOnTheSamePathsGivesWay) {
    TempDir dir;
    SimProcess first(dir / "smc.socket", dir / "control.socket");
    ASSERT_TRUE(first.ready());
    const auto second = runSimToCompletion({"--socket", dir / "smc.socket", "--control", dir / "control.socket"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(first.command("ping"), "ok smc-sim");
    EXPECT_EQ(first.stop(), 0);
}

}  // namespace
}  // namespace smcd::test
