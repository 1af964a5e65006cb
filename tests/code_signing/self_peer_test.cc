// The gate pointed at this very process over a socket pair: this test binary
// carries the identity com.vornik.codesigning-tests / TESTTEAM01 / 2.5, so the
// evaluation runs end to end without privileges. Requirements here leave out
// the anchor clause because the binary's owner depends on who built it.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "platform/code_signing/linux/peer_gate.h"
#include "support/descriptors.h"

namespace smcd::platform {
namespace {

const CodeSigningRequirement kOwn = *CodeSigningRequirement::parse(
    R"(identifier "com.vornik.codesigning-tests" and certificate leaf[subject.OU] = "TESTTEAM01" and info [CFBundleShortVersionString] >= "2.5")");
const CodeSigningRequirement kOther = *CodeSigningRequirement::parse(R"(identifier "com.vornik.app")");

std::pair<UniqueFd, UniqueFd> socketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair failed");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

TEST(SelfPeer, OwnIdentitySatisfiesARequirementNamingItAndEvaluationClosesEverythingItOpens) {
    const auto pair = socketPair();
    const std::size_t before = test::openDescriptorCount();
    for (const auto strategy : {PeerPinStrategy::socketPidfdFirst, PeerPinStrategy::pidOnly}) {
        const auto evaluation = evaluatePeerInDetail(pair.first.get(), kOwn, strategy);
        EXPECT_EQ(evaluation.verdict, PeerVerdict::satisfied) << describe(evaluation.verdict);
        ASSERT_TRUE(evaluation.credentials.has_value());
        EXPECT_EQ(evaluation.credentials->pid, ::getpid());
        EXPECT_EQ(evaluatePeerInDetail(pair.first.get(), kOther, strategy).verdict, PeerVerdict::unsatisfied);
    }
    EXPECT_EQ(test::openDescriptorCount(), before);
}

TEST(PinnedProcess, ExitIsSeenThroughThePidfdBeforeTheProcessIsReaped) {
    auto [parentEnd, childEnd] = socketPair();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 0;
        parentEnd.reset();
        _exit(static_cast<int>(::read(childEnd.get(), &byte, 1)));  // lives until the parent's end closes
    }
    childEnd.reset();
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0u)));
    ASSERT_TRUE(pidfd.valid());
    EXPECT_FALSE(pinnedProcessHasExited(pidfd));
    parentEnd.reset();
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(pinnedProcessHasExited(pidfd));
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(pinnedProcessHasExited(pidfd));
    EXPECT_TRUE(pinnedProcessHasExited(UniqueFd())) << "no pidfd cannot vouch for a live process";
}

}  // namespace
}  // namespace smcd::platform
