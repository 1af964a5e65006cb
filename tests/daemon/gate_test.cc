// Only a live peer with the companion app's code identity is served; any
// other is dropped before a single request runs, unlogged, while others go on.

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include "client/client.h"
#include "support/daemon.h"
#include "support/sandbox.h"

namespace smcd::test {
namespace {

const std::string kAccept = "accepted XPC connection from pid ";

std::string impostor(const std::string& name) { return std::string(SMCD_TEST_BINARY_DIR) + "/" + name; }

class Gate : public ::testing::Test {
protected:
    // No accept line, and the daemon still serves the real app (this process).
    void expectRefused(const ChildProcess& peer) {
        ASSERT_TRUE(pingAnswered(daemon_.socketPath()));
        EXPECT_FALSE(daemon_.logEventuallyContains(kAccept + std::to_string(peer.pid()) + " ", std::chrono::milliseconds(500)));
    }

    Daemon daemon_;
};

// Each clause of the requirement refuses on its own in the code-signing
// suites; here a newer app, one failing clause, a missing identity and a copy
// of the app anyone in its group could have changed prove that the daemon asks
// the gate and heeds every refusal.
TEST_F(Gate, AdmitsTheAppAtItsVersionOrLaterAndRefusesEveryOtherProgram) {
    TempDir directory;
    const std::string copy = directory / "smcctl";
    writeFile(copy, readFile(std::string(SMCD_BINARY_DIR) + "/smcctl"), 0775);
    ASSERT_EQ(::chmod(directory.path().c_str(), 0755), 0);
    for (const auto& [executable, admitted] : {std::pair{impostor("smcctl_newer_version"), true},
                                               {impostor("smcctl_foreign_team"), false},
                                               {impostor("smcctl_no_identity"), false}, {copy, false}}) {
        SCOPED_TRACE(executable);
        ChildProcess peer({executable, "--socket", daemon_.socketPath(), "ping"});
        EXPECT_EQ(peer.wait(), admitted ? 0 : 2) << peer.standardError();
        EXPECT_EQ(peer.standardOutput(), admitted ? "14\n" : "") << "served or not";
        if (!admitted) expectRefused(peer);
    }
}

// The app's own program, gone by the time the daemon looks at its connection.
TEST_F(Gate, RefusesTheAppOnceItHasExited) {
    daemon_.process().signal(SIGSTOP);
    ChildProcess app({std::string(SMCD_GATE_CLIENT_DIR) + "/gate_client_app", "exit", daemon_.socketPath()});
    EXPECT_EQ(app.wait(), 0) << "it could not connect";
    daemon_.process().signal(SIGCONT);
    expectRefused(app);
}

// Replies are bounded by the reply limit, not by the far smaller request limit.
TEST_F(Gate, AReplyAboveTheRequestLimitArrivesWhole) {
    if (!inSandbox()) GTEST_SKIP() << "places a listing tool in /usr";
    constexpr std::size_t size = platform::ipc::kMaxFrameSize + platform::ipc::kMaxFrameSize / 16;
    const std::string tool = "/usr/bin/sfltool";
    writeFile(tool, "#!/bin/sh\nhead -c " + std::to_string(size) + " /dev/zero | tr '\\0' x\n", 0755);
    auto client = client::Client::connect(daemon_.socketPath());
    const auto dump = client.has_value() ? client.value().dumpBackgroundItems() : unexpected(client.error());
    ::unlink(tool.c_str());
    ASSERT_TRUE(dump.has_value()) << dump.error().reason;
    EXPECT_TRUE(dump.value() == std::string(size, 'x')) << dump.value().size() << " bytes";
}

}  // namespace
}  // namespace smcd::test
