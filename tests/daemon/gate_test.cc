// Only a peer with the companion app's code identity is served; any other is
// dropped before a single request runs, unlogged, while others go on.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/daemon.h"

namespace smcd::test {
namespace {

const std::string kAccept = "accepted XPC connection from pid ";

std::string impostor(const std::string& name) { return std::string(SMCD_TEST_BINARY_DIR) + "/" + name; }

class Gate : public ::testing::Test {
protected:
    // Each impostor is refused, leaves no accept line, and the daemon still
    // serves the real app right after it.
    void expectRefused(const std::string& executable) {
        ChildProcess child({executable, "--socket", daemon_.socketPath(), "ping"});
        const auto status = child.wait();
        EXPECT_EQ(status, 2) << executable << ": " << child.standardOutput() << child.standardError();
        EXPECT_EQ(child.standardOutput(), "");
        auto real = smcctl(daemon_, {"ping"});
        EXPECT_EQ(real.out, "14\n");
        ASSERT_TRUE(daemon_.logEventuallyContains(kAccept + std::to_string(lastRealPid()) + " "));
        EXPECT_EQ(daemon_.log().find(kAccept + std::to_string(child.pid()) + " "), std::string::npos);
    }

    pid_t lastRealPid() {
        // The real client's pid is unknown to smcctl(); read it from the last accept line.
        const std::string log = daemon_.log();
        const auto at = log.rfind(kAccept);
        return at == std::string::npos ? -1 : std::stoi(log.substr(at + kAccept.size()));
    }

    Daemon daemon_;
};

TEST_F(Gate, RefusesAnotherSigningIdentifier) { expectRefused(impostor("smcctl_foreign_identifier")); }
TEST_F(Gate, RefusesAnotherTeam) { expectRefused(impostor("smcctl_foreign_team")); }
TEST_F(Gate, RefusesAVersionBelowOnePointZero) { expectRefused(impostor("smcctl_old_version")); }
TEST_F(Gate, RefusesAnExecutableWithoutIdentity) { expectRefused(impostor("smcctl_anonymous")); }

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
