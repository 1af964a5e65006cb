// The gate over a real Unix socket, with peer executables built with different
// code identities. Runs as root in the sandbox: the anchor stand-in wants a
// root-owned executable, and the tests chown and run clients as other users.
#include <fcntl.h>
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
#include "support/temp_dir.h"

namespace smcd::platform {
namespace {

constexpr std::string_view kPeerRequirement =
    R"(identifier "com.vornik.app" and anchor apple generic and certificate leaf[subject.OU] = "Q4ZK2M7WXR" and info [CFBundleShortVersionString] >= "1.0")";

constexpr int kClientServed = 0;
constexpr int kClientRefused = 3;
constexpr uid_t kAnn = 501;
constexpr gid_t kStaff = 20;

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
        socketPath_ = dir_ / "gate.sock";
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(listener_.valid());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(socketPath_.size(), sizeof(address.sun_path));
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
    std::string install(const std::string& client, mode_t mode = 0755, uid_t owner = 0) {
        const std::string target = dir_ / (client + "-" + std::to_string(installed_++));
        test::writeFile(target, test::readFile(std::string(SMCD_GATE_CLIENT_DIR) + "/" + client), mode);
        if (::chown(target.c_str(), owner, 0) != 0) throw std::runtime_error("chown failed");
        // chown clears nothing here (no set-id bits), but set the mode last anyway.
        if (::chmod(target.c_str(), mode) != 0) throw std::runtime_error("chmod failed");
        return target;
    }

    pid_t spawn(const std::string& executable, const char* mode, std::optional<uid_t> user = std::nullopt) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (user && (::setresgid(kStaff, kStaff, kStaff) != 0 || ::setresuid(*user, *user, *user) != 0)) _exit(126);
            const char* argv[] = {executable.c_str(), mode, socketPath_.c_str(), nullptr};
            ::execv(argv[0], const_cast<char* const*>(argv));
            _exit(127);
        }
        if (pid < 0) throw std::runtime_error("fork failed");
        return pid;
    }

    static int exitStatusOf(pid_t pid) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0)
            if (errno != EINTR) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

    struct Exchange {
        PeerEvaluation evaluation;
        int clientStatus;
    };

    Exchange serve(const std::string& executable, std::optional<uid_t> user = std::nullopt,
                   PeerPinStrategy strategy = PeerPinStrategy::socketPidfdFirst) {
        const pid_t pid = spawn(executable, "request", user);
        Exchange exchange{};
        {
            const UniqueFd connection = acceptOne();
            if (!connection) throw std::runtime_error("accept failed");
            exchange.evaluation = evaluatePeerInDetail(connection.get(), peerRequirement(), strategy);
            if (exchange.evaluation.credentials && exchange.evaluation.credentials->pid != pid)
                ADD_FAILURE() << "credentials name pid " << exchange.evaluation.credentials->pid << ", not " << pid;
            answerIfSatisfied(connection, exchange.evaluation);
        }
        exchange.clientStatus = exitStatusOf(pid);
        return exchange;
    }

    test::TempDir dir_;
    std::string socketPath_;
    UniqueFd listener_;
    std::size_t descriptorsBefore_ = 0;
    int installed_ = 0;
};

TEST_F(GateTest, EachClauseRefusesOnItsOwnAndServingGoesOnAfterARefusal) {
    struct Case {
        const char* client;
        mode_t mode;
        uid_t owner;
        std::optional<uid_t> user;  // who runs it: does not matter, but is reported
        PeerVerdict verdict;
        std::optional<ClauseKind> clause;
        ExecutableAnchor anchor;
    };
    constexpr auto served = PeerVerdict::satisfied, refused = PeerVerdict::unsatisfied;
    constexpr auto anchored = ExecutableAnchor::anchored;
    const Case cases[] = {
        {"gate_client_app", 0755, 0, std::nullopt, served, std::nullopt, anchored},
        {"gate_client_other_identifier", 0755, 0, std::nullopt, refused, ClauseKind::identifier, anchored},
        {"gate_client_app_v1", 0755, 0, std::nullopt, served, std::nullopt, anchored},
        {"gate_client_other_team", 0755, 0, std::nullopt, refused, ClauseKind::leafTeam, anchored},
        {"gate_client_old_version", 0755, 0, std::nullopt, refused, ClauseKind::shortVersion, anchored},
        {"gate_client_app_v1_10", 0755, 0, kAnn, served, std::nullopt, anchored},
        {"gate_client_no_identity", 0755, 0, std::nullopt, PeerVerdict::noIdentity, std::nullopt, anchored},
        {"gate_client_app", 0775, 0, std::nullopt, refused, ClauseKind::anchorAppleGeneric,
         ExecutableAnchor::writableByGroupOrOthers},
        {"gate_client_app", 0757, 0, std::nullopt, refused, ClauseKind::anchorAppleGeneric,
         ExecutableAnchor::writableByGroupOrOthers},
        {"gate_client_app", 0755, kAnn, std::nullopt, refused, ClauseKind::anchorAppleGeneric,
         ExecutableAnchor::notOwnedByRoot},
        {"gate_client_app", 0755, 0, kAnn, served, std::nullopt, anchored},
        // Refused on the anchor before its image is read: an unread file
        // cannot be found to lack an identity.
        {"gate_client_no_identity", 0775, 0, std::nullopt, refused, ClauseKind::anchorAppleGeneric,
         ExecutableAnchor::writableByGroupOrOthers},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.client) + " mode " + std::to_string(c.mode) + " owner " + std::to_string(c.owner));
        const auto exchange = serve(install(c.client, c.mode, c.owner), c.user);
        EXPECT_EQ(exchange.evaluation.verdict, c.verdict) << describe(exchange.evaluation.verdict);
        EXPECT_EQ(exchange.evaluation.unsatisfiedClause, c.clause);
        EXPECT_EQ(exchange.clientStatus, c.verdict == served ? kClientServed : kClientRefused);
        EXPECT_EQ(exchange.evaluation.anchor, c.anchor);
        ASSERT_TRUE(exchange.evaluation.credentials.has_value());
        EXPECT_EQ(exchange.evaluation.credentials->uid, c.user.value_or(0));
        EXPECT_EQ(exchange.evaluation.credentials->gid, c.user ? kStaff : 0);
    }
}

TEST_F(GateTest, APeerThatExitedBeforeEvaluationIsRefused) {
    for (const auto strategy : {PeerPinStrategy::socketPidfdFirst, PeerPinStrategy::pidOnly}) {
        // Reaped, its pid is free for reuse by the time the gate looks; a
        // zombie (exited, not yet reaped) is still named by its pid.
        for (const bool reaped : {true, false}) {
            SCOPED_TRACE(reaped ? "reaped" : "zombie");
            const pid_t pid = spawn(install("gate_client_app"), "connect-and-exit");
            siginfo_t info{};
            const int waited = reaped ? exitStatusOf(pid) : ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
            ASSERT_EQ(waited, 0);
            {
                const UniqueFd connection = acceptOne();
                ASSERT_TRUE(connection.valid());
                const auto evaluation = evaluatePeerInDetail(connection.get(), peerRequirement(), strategy);
                EXPECT_EQ(evaluation.verdict, PeerVerdict::processUnavailable) << describe(evaluation.verdict);
            }
            EXPECT_EQ(reaped ? 0 : exitStatusOf(pid), 0);
        }
    }
}

TEST_F(GateTest, TheRunningProgramCountsNotWhatNowSitsAtItsPath) {
    // Swapping the file at the client's path after it started changes nothing:
    // the gate reads the executable the process was started from.
    const std::string path = install("gate_client_app");
    const pid_t pid = spawn(path, "request");
    {
        const UniqueFd connection = acceptOne();
        ASSERT_TRUE(connection.valid());
        const std::string impostor = install("gate_client_no_identity");
        ASSERT_EQ(::rename(impostor.c_str(), path.c_str()), 0);
        const auto evaluation = evaluatePeerInDetail(connection.get(), peerRequirement());
        EXPECT_EQ(evaluation.verdict, PeerVerdict::satisfied) << describe(evaluation.verdict);
        answerIfSatisfied(connection, evaluation);
    }
    EXPECT_EQ(exitStatusOf(pid), kClientServed);
}

TEST_F(GateTest, AnUnreadableIdentityNoteIsRefused) {
    // The kernel runs the program happily; only the note is damaged.
    const std::string path = install("gate_client_app");
    std::string image = test::readFile(path);
    const std::string field = std::string("com.vornik.app\0Q4ZK2M7WXR", 25);
    const std::size_t at = image.find(field);
    ASSERT_NE(at, std::string::npos);
    image[at + 14] = '"';  // the NUL that ends the identifier
    test::writeFile(path, image, 0755);
    const auto exchange = serve(path);
    EXPECT_EQ(exchange.evaluation.verdict, PeerVerdict::malformedExecutable) << describe(exchange.evaluation.verdict);
    EXPECT_EQ(exchange.clientStatus, kClientRefused);
}

}  // namespace
}  // namespace smcd::platform
