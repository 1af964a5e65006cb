// The gate over a real Unix socket, with peer executables built with different
// code identities. Runs as root in the sandbox: the anchor stand-in wants a
// root-owned executable, and the tests chown and run clients as other users.
#include <linux/magic.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>

#include "common/unique_fd.h"
#include "daemon/constants.h"
#include "platform/code_signing/linux/peer_gate.h"
#include "support/descriptors.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/unix_socket.h"

namespace smcd::platform {
namespace {

constexpr uid_t kAnn = 501;

const CodeSigningRequirement kRequirement = *CodeSigningRequirement::parse(smcd::kPeerRequirement);

class GateTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (runs in the sandbox)";
        // Clients running as another user must reach the binaries and the socket.
        ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
        listener_ = test::listenAt(socketPath_);
        ASSERT_EQ(::chmod(socketPath_.c_str(), 0777), 0);
    }

    // A private copy of a built client: the copy is what runs, so each test
    // can change its mode or owner without touching the build tree.
    std::string install(const std::string& client, mode_t mode = 0755, uid_t owner = 0) {
        const std::string target = dir_ / (client + "-" + std::to_string(installed_++));
        test::writeFile(target, test::readFile(std::string(SMCD_GATE_CLIENT_DIR) + "/" + client), mode);
        if (::chown(target.c_str(), owner, 0) != 0 || ::chmod(target.c_str(), mode) != 0)
            throw std::runtime_error("chown or chmod failed");
        return target;
    }

    // The client connected to the listener; the accepted end is `connection`.
    test::ChildProcess connect(const std::string& executable, const char* mode, std::optional<uid_t> user = std::nullopt) {
        test::ChildProcess client({executable, mode, socketPath_}, {.uid = user});
        connection.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        EXPECT_TRUE(connection.valid());
        return client;
    }

    test::TempDir dir_;
    std::string socketPath_ = dir_ / "gate.sock";
    UniqueFd listener_, connection;
    int installed_ = 0;
};

TEST_F(GateTest, EachCheckRefusesOnItsOwnAndTheAnchorIsJudgedBeforeTheImageIsRead) {
    constexpr auto served = PeerVerdict::satisfied, refused = PeerVerdict::unsatisfied;
    constexpr auto anchored = ExecutableAnchor::anchored, writable = ExecutableAnchor::writableByGroupOrOthers;
    constexpr auto anchorClause = ClauseKind::anchorAppleGeneric;
    const std::tuple<const char*, mode_t, uid_t, std::optional<uid_t>, PeerVerdict, std::optional<ClauseKind>,
                     ExecutableAnchor>
        cases[] = {
            {"gate_client_app", 0755, 0, std::nullopt, served, std::nullopt, anchored},
            {"gate_client_no_identity", 0755, 0, std::nullopt, PeerVerdict::noIdentity, std::nullopt, anchored},
            {"gate_client_app", 0755, kAnn, std::nullopt, refused, anchorClause, ExecutableAnchor::notOwnedByRoot},
            {"gate_client_app", 0755, 0, kAnn, served, std::nullopt, anchored},  // who runs it does not matter
            // An unread file cannot be found to lack an identity.
            {"gate_client_no_identity", 0775, 0, std::nullopt, refused, anchorClause, writable},
        };
    for (const auto& [name, mode, owner, user, verdict, clause, anchor] : cases) {
        SCOPED_TRACE(std::string(name) + " mode " + std::to_string(mode) + " owner " + std::to_string(owner));
        auto client = connect(install(name, mode, owner), "stay", user);
        for (const auto strategy : {PeerPinStrategy::socketPidfdFirst, PeerPinStrategy::pidOnly}) {
            const std::size_t descriptors = test::openDescriptorCount();
            const auto evaluation = evaluatePeerInDetail(connection.get(), kRequirement, strategy);
            EXPECT_EQ(test::openDescriptorCount(), descriptors) << "the evaluation closes everything it opens";
            EXPECT_EQ(evaluation.verdict, verdict) << describe(evaluation.verdict);
            EXPECT_EQ(evaluation.unsatisfiedClause, clause);
            EXPECT_EQ(evaluation.anchor, anchor);
            ASSERT_TRUE(evaluation.credentials.has_value());
            EXPECT_EQ(evaluation.credentials->pid, client.pid());
            EXPECT_EQ(evaluation.credentials->uid, user.value_or(0));
            EXPECT_EQ(evaluation.credentials->gid, user ? 20u : 0u);
        }
    }
}

// FUSE, NFS and SMB servers say who owns a file and what its mode is, so the
// gate refuses the app's own root-owned program there; and where the system
// cannot say what a file system is, it refuses too.
TEST_F(GateTest, ARootOwnedAppOnAFileSystemWhoseOwnersItsUserControlsIsNeverAnchored) {
    auto client = connect(install("gate_client_app"), "stay");
    const std::tuple<FileSystemTypeQuery, ExecutableAnchor> cases[] = {
        {[](int) { return std::optional<__fsword_t>(FUSE_SUPER_MAGIC); }, ExecutableAnchor::untrustedFileSystem},
        {[](int) { return std::optional<__fsword_t>(NFS_SUPER_MAGIC); }, ExecutableAnchor::untrustedFileSystem},
        {[](int) { return std::optional<__fsword_t>(SMB2_SUPER_MAGIC); }, ExecutableAnchor::untrustedFileSystem},
        {[](int) { return std::optional<__fsword_t>(); }, ExecutableAnchor::unknownFileSystem},
    };
    for (const auto& [fileSystemType, anchor] : cases) {
        const auto evaluation =
            evaluatePeerInDetail(connection.get(), kRequirement, PeerPinStrategy::socketPidfdFirst, fileSystemType);
        EXPECT_EQ(evaluation.verdict, PeerVerdict::unsatisfied) << describe(evaluation.verdict);
        EXPECT_EQ(evaluation.unsatisfiedClause, ClauseKind::anchorAppleGeneric);
        EXPECT_EQ(evaluation.anchor, anchor);
    }
}

TEST_F(GateTest, APeerThatExitedBeforeEvaluationIsRefused) {
    for (const auto strategy : {PeerPinStrategy::socketPidfdFirst, PeerPinStrategy::pidOnly}) {
        // Reaped, its pid is free for reuse by the time the gate looks; a
        // zombie (exited, not yet reaped) is still named by its pid.
        for (const bool reaped : {true, false}) {
            SCOPED_TRACE(reaped ? "reaped" : "zombie");
            auto client = connect(install("gate_client_app"), "exit");
            siginfo_t info{};
            ASSERT_EQ(reaped ? client.wait() : ::waitid(P_PID, static_cast<id_t>(client.pid()), &info, WEXITED | WNOWAIT), 0);
            const auto evaluation = evaluatePeerInDetail(connection.get(), kRequirement, strategy);
            EXPECT_EQ(evaluation.verdict, PeerVerdict::processUnavailable) << describe(evaluation.verdict);
        }
    }
}

TEST_F(GateTest, TheRunningProgramCountsNotWhatNowSitsAtItsPath) {
    const std::string path = install("gate_client_app");
    auto client = connect(path, "stay");
    ASSERT_EQ(::rename(install("gate_client_no_identity").c_str(), path.c_str()), 0);
    EXPECT_EQ(evaluatePeerInDetail(connection.get(), kRequirement).verdict, PeerVerdict::satisfied);
}

}  // namespace
}  // namespace smcd::platform
