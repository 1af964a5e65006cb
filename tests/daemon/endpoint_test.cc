// The daemon binding its compiled-in socket path itself (no activation).

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "client/client.h"
#include "daemon/constants.h"
#include "platform/ipc/linux/endpoint.h"
#include "support/daemon.h"

namespace smcd::test {
namespace {

const std::string kPath = client::defaultSocketPath();

std::optional<int> daemonThatCannotStart() {
    Daemon daemon(Daemon::Options{.compiledInPath = true, .waitUntilServing = false});
    return daemon.process().wait(std::chrono::seconds(5));
}

class Endpoint : public ::testing::Test {
protected:
    void TearDown() override { ::unlink(kPath.c_str()); }
};

TEST_F(Endpoint, PublishesTheCompiledInPathForEveryUser) {
    Daemon daemon(Daemon::Options{.compiledInPath = true});
    struct stat st {};
    ASSERT_EQ(::lstat(kPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    // smcctl's default socket is the daemon's compiled-in one; ann may connect.
    auto ping = run({std::string(SMCD_BINARY_DIR) + "/smcctl", "ping"}, {.uid = 501});
    EXPECT_EQ(ping.out, "14\n") << ping.err;
}

TEST_F(Endpoint, NeverFollowsALinkNorReplacesAnythingButASocket) {
    const std::string target = "/private/var/root/planted-target";
    ASSERT_EQ(::symlink(target.c_str(), kPath.c_str()), 0);
    EXPECT_EQ(daemonThatCannotStart(), 1);
    char buffer[256] = {};
    ASSERT_GT(::readlink(kPath.c_str(), buffer, sizeof(buffer) - 1), 0);
    EXPECT_EQ(std::string(buffer), target);
    EXPECT_FALSE(exists(target));

    ::unlink(kPath.c_str());
    writeFile(kPath, "precious");
    EXPECT_EQ(daemonThatCannotStart(), 1);
    EXPECT_EQ(readFile(kPath), "precious");
}

TEST_F(Endpoint, ReplacesTheStaleSocketOfADaemonThatIsGoneButNeverTakesItFromARunningOne) {
    {
        Daemon gone(Daemon::Options{.compiledInPath = true});
        gone.process().signal(SIGKILL);
        ASSERT_EQ(gone.process().wait(), 128 + SIGKILL);
    }
    ASSERT_TRUE(exists(kPath)) << "a killed daemon leaves its socket behind";
    Daemon daemon(Daemon::Options{.compiledInPath = true});
    EXPECT_TRUE(pingAnswered(kPath));
    EXPECT_EQ(daemonThatCannotStart(), 1);
    EXPECT_TRUE(pingAnswered(kPath));
    EXPECT_TRUE(daemon.process().running());
}

// The service manager must hold the socket where the daemon and its clients look for it.
TEST(PackagedSocketUnit, ListensAtTheDaemonsOwnPath) {
    std::ifstream unit(std::string(SMCD_BINARY_DIR) + "/../packaging/" + std::string(product_facts::kServiceName) + ".socket");
    std::vector<std::string> listens;
    for (std::string line; std::getline(unit, line);)
        if (line.rfind("ListenStream=", 0) == 0) listens.push_back(line.substr(std::strlen("ListenStream=")));
    EXPECT_EQ(listens, std::vector<std::string>{platform::ipc::serviceEndpoint(product_facts::kServiceName)});
}

}  // namespace
}  // namespace smcd::test
