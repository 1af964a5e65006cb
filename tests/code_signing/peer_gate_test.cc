// The gate over a real Unix socket, with peer executables built with different
// code identities. Runs as root in the sandbox: the anchor stand-in wants a
// root-owned executable, and the tests chown and run clients as other users.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "common/unique_fd.h"
#include "platform/code_signing/linux/peer_gate.h"
#include "support/descriptors.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace smcd::platform {
namespace {

constexpr std::string_view kPeerRequirement =
    R"(identifier "com.vornik.app" and anchor apple generic and certificate leaf[subject.OU] = "Q4ZK2M7WXR" and info [CFBundleShortVersionString] >= "1.0")";

constexpr int kClientServed = 0;
constexpr int kClientRefused = 3;
constexpr uid_t kAnn = 501;

const CodeSigningRequirement& peerRequirement() {
    static const auto requirement = *CodeSigningRequirement::parse(kPeerRequirement);
    return requirement;
}

class GateTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (runs in the sandbox)";
        // Clients running as another user must reach the binaries and the socket.
        ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        std::strcpy(address.sun_path, socketPath_.c_str());
        ASSERT_EQ(::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(::chmod(socketPath_.c_str(), 0777), 0);
        ASSERT_EQ(::listen(listener_.get(), 8), 0);
        descriptorsBefore_ = test::openDescriptorCount();
    }

    void TearDown() override {
        if (::geteuid() == 0) {
            EXPECT_EQ(test::openDescriptorCount(), descriptorsBefore_);
        }
    }

    // A private, root-owned copy of a built client: the copy is what runs, so
    // each test can change its mode or owner without touching the build tree.
    std::string install(const std::string& client, mode_t mode = 0755, uid_t owner = 0, bool damageNote = false) {
        const std::string target = dir_ / (client + "-" + std::to_string(installed_++));
        std::string image = test::readFile(std::string(SMCD_GATE_CLIENT_DIR) + "/" + client);
        if (damageNote) {
            // A quote for the NUL that ends the identifier; the kernel still runs it.
            const std::size_t at = image.find(std::string("com.vornik.app\0Q4ZK2M7WXR", 25));
            if (at == std::string::npos) throw std::runtime_error("no identity note in " + client);
            image[at + 14] = '"';
        }
        test::writeFile(target, image, mode);
        if (::chown(target.c_str(), owner, 0) != 0 || ::chmod(target.c_str(), mode) != 0)
            throw std::runtime_error("chown or chmod failed");
        return target;
    }

    test::ChildProcess spawn(const std::string& executable, const char* mode, std::optional<uid_t> user = std::nullopt) {
        test::SpawnOptions options;
        options.uid = user;
        return test::ChildProcess({executable, mode, socketPath_}, options);
    }

    UniqueFd acceptOne() { return UniqueFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)); }

    // What the daemon's listener does: evaluate before reading anything; a
    // refused peer is hung up on unanswered, an accepted one gets its reply.
    static void answerIfSatisfied(const UniqueFd& connection, const PeerEvaluation& evaluation) {
        char request[5] = {};
        if (evaluation.verdict == PeerVerdict::satisfied && ::recv(connection.get(), request, 5, MSG_WAITALL) == 5 &&
            std::string_view(request, 5) == "ping\n")
            ::send(connection.get(), "pong\n", 5, MSG_NOSIGNAL);
    }

    test::TempDir dir_;
    std::string socketPath_ = dir_ / "gate.sock";
    UniqueFd listener_;
    std::size_t descriptorsBefore_ = 0;
    int installed_ = 0;
};

TEST_F(GateTest, EachClauseRefusesOnItsOwnAndServingGoesOnAfterARefusal) {
    constexpr auto served = PeerVerdict::satisfied, refused = PeerVerdict::unsatisfied;
    constexpr auto anchored = ExecutableAnchor::anchored;
    constexpr auto anchorClause = ClauseKind::anchorAppleGeneric;
    const struct {
        const char* client;
        mode_t mode;
        uid_t owner;
        std::optional<uid_t> user;  // who runs it: does not matter, but is reported
        bool damageNote;
        PeerVerdict verdict;
        std::optional<ClauseKind> clause;
        ExecutableAnchor anchor;
    } cases[] = {
        {"gate_client_app", 0755, 0, std::nullopt, false, served, std::nullopt, anchored},
        {"gate_client_other_team", 0755, 0, std::nullopt, false, refused, ClauseKind::leafTeam, anchored},
        {"gate_client_app", 0775, 0, std::nullopt, false, refused, anchorClause, ExecutableAnchor::writableByGroupOrOthers},
        {"gate_client_app", 0755, kAnn, std::nullopt, false, refused, anchorClause, ExecutableAnchor::notOwnedByRoot},
        {"gate_client_app", 0755, 0, kAnn, false, served, std::nullopt, anchored},
        {"gate_client_app", 0755, 0, std::nullopt, true, PeerVerdict::malformedExecutable, std::nullopt, anchored},
        // Refused on the anchor before its image is read: an unread file
        // cannot be found to lack an identity.
        {"gate_client_no_identity", 0775, 0, std::nullopt, false, refused, anchorClause,
         ExecutableAnchor::writableByGroupOrOthers},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.client) + " mode " + std::to_string(c.mode) + " owner " + std::to_string(c.owner));
        auto client = spawn(install(c.client, c.mode, c.owner, c.damageNote), "request", c.user);
        {
            const UniqueFd connection = acceptOne();
            ASSERT_TRUE(connection.valid());
            const auto evaluation = evaluatePeerInDetail(connection.get(), peerRequirement());
            EXPECT_EQ(evaluation.verdict, c.verdict) << describe(evaluation.verdict);
            EXPECT_EQ(evaluation.unsatisfiedClause, c.clause);
            EXPECT_EQ(evaluation.anchor, c.anchor);
            ASSERT_TRUE(evaluation.credentials.has_value());
            EXPECT_EQ(evaluation.credentials->pid, client.pid());
            EXPECT_EQ(evaluation.credentials->uid, c.user.value_or(0));
            EXPECT_EQ(evaluation.credentials->gid, c.user ? 20u : 0u);
            answerIfSatisfied(connection, evaluation);
        }
        EXPECT_EQ(client.wait(), c.verdict == served ? kClientServed : kClientRefused);
    }
}

TEST_F(GateTest, APeerThatExitedBeforeEvaluationIsRefused) {
    for (const auto strategy : {PeerPinStrategy::socketPidfdFirst, PeerPinStrategy::pidOnly}) {
        // Reaped, its pid is free for reuse by the time the gate looks; a
        // zombie (exited, not yet reaped) is still named by its pid.
        for (const bool reaped : {true, false}) {
            SCOPED_TRACE(reaped ? "reaped" : "zombie");
            auto client = spawn(install("gate_client_app"), "connect-and-exit");
            siginfo_t info{};
            ASSERT_EQ(reaped ? client.wait() : ::waitid(P_PID, static_cast<id_t>(client.pid()), &info, WEXITED | WNOWAIT), 0);
            const UniqueFd connection = acceptOne();
            ASSERT_TRUE(connection.valid());
            const auto evaluation = evaluatePeerInDetail(connection.get(), peerRequirement(), strategy);
            EXPECT_EQ(evaluation.verdict, PeerVerdict::processUnavailable) << describe(evaluation.verdict);
        }
    }
}

TEST_F(GateTest, TheRunningProgramCountsNotWhatNowSitsAtItsPath) {
    // Swapping the file at the client's path after it started changes nothing:
    // the gate reads the executable the process was started from.
    const std::string path = install("gate_client_app");
    auto client = spawn(path, "request");
    {
        const UniqueFd connection = acceptOne();
        ASSERT_TRUE(connection.valid());
        ASSERT_EQ(::rename(install("gate_client_no_identity").c_str(), path.c_str()), 0);
        const auto evaluation = evaluatePeerInDetail(connection.get(), peerRequirement());
        EXPECT_EQ(evaluation.verdict, PeerVerdict::satisfied) << describe(evaluation.verdict);
        answerIfSatisfied(connection, evaluation);
    }
    EXPECT_EQ(client.wait(), kClientServed);
}

}  // namespace
}  // namespace smcd::platform
