#include "maintenance/command_runners.h"

#include <fcntl.h>
#include <signal.h>

#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "maintenance/tool_environment.h"
#include "probe_support.h"
#include "support/descriptors.h"

namespace smcd {
namespace {

TEST(RunShell, ReportsStatusAndTrimmedCombinedOutput) {
    const std::tuple<std::string, std::int32_t, std::string> cases[] = {
        {"printf 'x\\n' >&2; exit 3", 3, "x"}, {"printf a; printf b >&2; printf c", 0, "abc"},
        {"printf '\\n\\n   \\n\\t\\n'", 0, ""}, {"printf 'ok\\377'; exit 4", 4, ""}, {"kill -9 $$", SIGKILL, ""},
        // EM SPACE and NO-BREAK SPACE are trimmed as well; inner space stays.
        {"printf '\\342\\200\\203 two  words\\302\\240\\n'", 0, "two  words"},
        // A NUL would cut the command short: "exit 3" must not run in its place.
        {std::string("exit 3\0; exit 0", 15), -1, "Couldn't launch /bin/sh: an argument holds a NUL character"},
    };
    for (const auto& [command, status, output] : cases) {
        const RunResult result = runShell(command);
        EXPECT_EQ(result.status, status) << command;
        EXPECT_EQ(result.output, output) << command;
    }
}

TEST(RunShell, ChildGetsNoneOfTheDaemonsEnvironmentDescriptorsOrSignalState) {
    ::setenv("SMCD_SECRET", "leak\nleak", 1);
    UniqueFd leaky(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::fcntl(leaky.get(), F_SETFD, 0), 0);  // as a careless library might leave one
    auto* const oldPipe = ::signal(SIGPIPE, SIG_IGN);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &block, &old);

    const RunResult result = runShell("exec '" + test::probePath + "' report");

    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::signal(SIGPIPE, oldPipe);
    ::unsetenv("SMCD_SECRET");
    auto reports = test::parseReports(result.output);
    ASSERT_EQ(reports.size(), 1u) << result.output;
    // The shell exports PWD of its own accord; nothing else may appear.
    std::erase_if(reports[0].env, [](const std::string& entry) { return entry.starts_with("PWD="); });
    EXPECT_EQ(reports[0].env, (std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}));
    EXPECT_EQ(reports[0].fds, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(reports[0].ignored, std::vector<int>{});
    EXPECT_EQ(reports[0].blocked, std::vector<int>{});
}

TEST(RunShell, ConcurrentRunsCollectLargeOutputsSeparately) {
    const test::NoDescriptorLeak noLeak;
    std::vector<RunResult> results(4);
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = runShell("'" + test::probePath + "' 'fill 300000' 'out " + std::to_string(i) + "'"); });
    threads.clear();
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i].output, std::string(300000, 'a') + std::to_string(i));
}

}  // namespace
}  // namespace smcd
