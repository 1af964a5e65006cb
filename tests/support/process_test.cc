// A suite that dies (an abort, a time-out's SIGKILL) takes every process it
// started with it, whatever user that process runs as.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace smcd::test {
namespace {

TEST(ChildProcess, EndsWhenTheTestProcessIsKilled) {
    // Orphans come back to this process, so it sees how they ended.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (const std::optional<uid_t> user : {std::optional<uid_t>(), std::optional<uid_t>(501)}) {
        if (user && ::geteuid() != 0) continue;  // only root starts children as another user
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
        // The killed process never removes its child's output files: they go here.
        const TempDir scratch;
        const pid_t testProcess = ::fork();
        ASSERT_GE(testProcess, 0);
        if (testProcess == 0) {
            ::setenv("TMPDIR", scratch.path().c_str(), 1);
            ChildProcess sleeper({"/bin/sleep", "600"}, {.uid = user});
            const pid_t pid = sleeper.pid();
            if (::write(writeEnd.get(), &pid, sizeof(pid)) == sizeof(pid)) ::pause();
            ::_exit(EXIT_FAILURE);
        }
        writeEnd.reset();
        pid_t child = -1;
        ASSERT_EQ(::read(readEnd.get(), &child, sizeof(child)), static_cast<ssize_t>(sizeof(child)));
        ::kill(testProcess, SIGKILL);
        ASSERT_EQ(::waitpid(testProcess, nullptr, 0), testProcess);
        int status = 0;
        const bool ended = eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; });
        if (!ended) ::kill(child, SIGKILL);
        EXPECT_TRUE(ended) << "a child as uid " << user.value_or(0) << " outlived its test process";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
}

}  // namespace
}  // namespace smcd::test
