// The gate pointed at this very process over a socket pair: this test binary
// carries the identity com.vornik.codesigning-tests / TESTTEAM01 / 2.5, so the
// evaluation runs end to end without privileges. Requirements here leave out
// the anchor clause because the binary's owner depends on who built it.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "platform/code_signing/linux/peer_gate.h"
#include "support/descriptors.h"

namespace smcd::platform {
namespace {

constexpr std::string_view kOwnRequirement =
    R"(identifier "com.vornik.codesigning-tests" and certificate leaf[subject.OU] = "TESTTEAM01" and info [CFBundleShortVersionString] >= "2.5")";

CodeSigningRequirement requirementFrom(std::string_view text) {
    auto requirement = CodeSigningRequirement::parse(text);
    if (!requirement) throw std::logic_error("test requirement does not parse");
    return *requirement;
}

struct SocketPair {
    UniqueFd ours;
    UniqueFd theirs;
};

SocketPair makeSocketPair(int type = SOCK_STREAM) {
    int fds[2];
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair failed");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

TEST(SelfPeer, OwnIdentitySatisfiesARequirementNamingItAndEvaluationClosesEverythingItOpens) {
    const auto requirement = requirementFrom(kOwnRequirement);
    const auto other = requirementFrom(R"(identifier "x")");
    const auto pair = makeSocketPair();
    const std::size_t before = test::openDescriptorCount();
    for (int i = 0; i < 50; ++i) {
        for (const auto strategy : {PeerPinStrategy::socketPidfdFirst, PeerPinStrategy::pidOnly}) {
            const auto evaluation = evaluatePeerInDetail(pair.ours.get(), requirement, strategy);
            ASSERT_EQ(evaluation.verdict, PeerVerdict::satisfied) << describe(evaluation.verdict);
            ASSERT_TRUE(evaluation.credentials.has_value());
            EXPECT_EQ(evaluation.credentials->pid, ::getpid());
            EXPECT_EQ(evaluation.credentials->uid, ::geteuid());
            EXPECT_EQ(evaluation.unsatisfiedClause, std::nullopt);
            ASSERT_EQ(evaluatePeerInDetail(pair.ours.get(), other, strategy).verdict, PeerVerdict::unsatisfied);
        }
        ASSERT_EQ(evaluatePeer(pair.ours.get(), requirement), PeerVerdict::satisfied);
    }
    EXPECT_EQ(test::openDescriptorCount(), before);
}

TEST(SelfPeer, DescriptorsThatAreNoConnectedUnixStreamAreRefused) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const UniqueFd pipeRead(pipeFds[0]), pipeWrite(pipeFds[1]);
    const UniqueFd unconnected(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const UniqueFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto datagramPair = makeSocketPair(SOCK_DGRAM);
    for (const int fd : {pipeRead.get(), unconnected.get(), udp.get(), datagramPair.ours.get(), -1}) {
        EXPECT_EQ(evaluatePeerInDetail(fd, requirementFrom(kOwnRequirement)).verdict, PeerVerdict::socketUnusable) << fd;
        EXPECT_FALSE(readPeerCredentials(fd).has_value()) << fd;
    }
}

TEST(PinnedProcess, ExitIsSeenThroughThePidfdBeforeTheProcessIsReaped) {
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    UniqueFd gateRead(gate[0]);
    UniqueFd gateWrite(gate[1]);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        gateWrite.reset();
        char byte = 0;
        // Lives until the parent closes its end of the pipe.
        while (::read(gateRead.get(), &byte, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    gateRead.reset();
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0u)));
    ASSERT_TRUE(pidfd.valid());
    EXPECT_FALSE(pinnedProcessHasExited(pidfd));
    gateWrite.reset();
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(pinnedProcessHasExited(pidfd));
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(pinnedProcessHasExited(pidfd));
    // A descriptor that is no pidfd at all cannot vouch for a live process.
    EXPECT_TRUE(pinnedProcessHasExited(UniqueFd()));
}

TEST(SelfPeer, ConcurrentEvaluationsShareNothing) {
    // The listener evaluates connections on several queues at once with one shared requirement.
    const auto requirement = requirementFrom(kOwnRequirement), wrong = requirementFrom(R"(identifier "com.vornik.app")");
    std::atomic<int> mismatches{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const bool satisfiable = (i + t) % 2 == 0;
                const auto verdict = evaluatePeer(makeSocketPair().ours.get(), satisfiable ? requirement : wrong);
                if (verdict != (satisfiable ? PeerVerdict::satisfied : PeerVerdict::unsatisfied)) ++mismatches;
            }
        });
    threads.clear();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace smcd::platform
