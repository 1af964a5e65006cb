// Telling from a pidfd whether the pinned process has exited, the step that
// keeps a recycled pid from lending its program to a peer that is gone. Needs
// no privileges: the process is a fork of this one.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "platform/code_signing/linux/peer_process.h"

namespace smcd::platform {
namespace {

TEST(PinnedProcess, ExitIsSeenThroughThePidfdBeforeTheProcessIsReaped) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd parentEnd(fds[0]), childEnd(fds[1]);
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
