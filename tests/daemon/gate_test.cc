// Only a peer with the companion app's code identity is served; any other is
// dropped before a single request runs, unlogged, while others go on.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/daemon.h"

namespace smcd::test {
namespace {

const std::string kAccept = "accepted XPC connection from pid ";

std::string impostor(const std::string& name) { return std::string(SMCD_TEST_BINARY_DIR) + "/" + name; }

class Gate : public ::testing::Test {
protected:
    // Refused, no accept line, and the daemon still serves the real app (this
    // process) right after it.
    void expectRefused(const std::string& executable) {
        ChildProcess child({executable, "--socket", daemon_.socketPath(), "ping"});
        EXPECT_EQ(child.wait(), 2) << executable << ": " << child.standardError();
        EXPECT_EQ(child.standardOutput(), "");
        ASSERT_TRUE(pingAnswered(daemon_.socketPath()));
        ASSERT_TRUE(daemon_.logEventuallyContains(kAccept + std::to_string(::getpid()) + " "));
        EXPECT_EQ(daemon_.log().find(kAccept + std::to_string(child.pid()) + " "), std::string::npos);
    }

    Daemon daemon_;
};

// Each clause of the requirement refuses on its own in the code-signing
// suites; here one impostor proves the daemon asks them at all.
TEST_F(Gate, RefusesAnotherTeam) { expectRefused(impostor("smcctl_foreign_team")); }

TEST_F(Gate, RefusesTheRealAppWhenItsExecutableIsGroupWritable) {
    TempDir directory;
    const std::string copy = directory / "smcctl";
    writeFile(copy, readFile(std::string(SMCD_BINARY_DIR) + "/smcctl"), 0775);
    ASSERT_EQ(::chmod(directory.path().c_str(), 0755), 0);
    expectRefused(copy);
}

TEST_F(Gate, AdmitsANewerVersionOfTheApp) {
    ChildProcess child({impostor("smcctl_newer_version"), "--socket", daemon_.socketPath(), "ping"});
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.standardOutput(), "14\n");
}

}  // namespace
}  // namespace smcd::test
