#include "maintenance/command_runners.h"

#include <fcntl.h>
#include <signal.h>

#include <thread>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "maintenance/tool_environment.h"
#include "probe_support.h"

namespace smcd {
namespace {

TEST(ToolEnvironment, IsPathAloneAndBuiltOnce) {
    EXPECT_EQ(toolEnvironment(), (std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}));
    const std::vector<std::string>* seen[4] = {};
    {
        std::vector<std::jthread> threads;
        for (auto& slot : seen) threads.emplace_back([&slot] { slot = &toolEnvironment(); });
    }
    for (const auto* address : seen) EXPECT_EQ(address, &toolEnvironment());
}

TEST(RunShell, ReportsStatusAndTrimmedCombinedOutput) {
    struct Case {
        const char* command;
        std::int32_t status;
        std::string output;
    };
    const Case cases[] = {
        {"printf 'x\\n' >&2; exit 3", 3, "x"},
        {"printf a; printf b >&2; printf c", 0, "abc"},
        {"printf '\\n\\n   \\n\\t\\n'", 0, ""},
        // EM SPACE and NO-BREAK SPACE are trimmed too; inner space stays.
        {"printf '\\342\\200\\203 two  words\\302\\240\\n'", 0, "two  words"},
        // Invalid UTF-8 is dropped whole; the status still comes back.
        {"printf 'ok\\377'; exit 4", 4, ""},
        {"kill -9 $$", SIGKILL, ""},
        {"exit 255", 255, ""},
    };
    for (const auto& c : cases) {
        const RunResult result = runShell(c.command);
        EXPECT_EQ(result.status, c.status) << c.command;
        EXPECT_EQ(result.output, c.output) << c.command;
    }
}

TEST(RunShell, ChildSeesNoneOfTheDaemonsEnvironmentDescriptorsOrSignals) {
    for (const char* name : {"HOME", "USER", "LANG", "TMPDIR", "SMCD_SECRET"}) ::setenv(name, "leak\nleak", 1);
    UniqueFd leaky(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::fcntl(leaky.get(), F_SETFD, 0), 0);
    auto* const oldPipe = ::signal(SIGPIPE, SIG_IGN);

    const RunResult result = runShell("exec '" + test::probePath + "' report");

    ::signal(SIGPIPE, oldPipe);
    ::unsetenv("SMCD_SECRET");
    ASSERT_EQ(result.status, 0) << result.output;
    auto report = test::parseReport(result.output);
    // The shell exports PWD of its own accord; nothing else may appear.
    std::erase_if(report.env, [](const std::string& entry) { return entry.starts_with("PWD="); });
    EXPECT_EQ(report.env, toolEnvironment());
    EXPECT_EQ(report.fds, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(report.ignored.empty());
    EXPECT_EQ(report.argv.front(), test::probePath);
}

TEST(RunShell, CollectsOutputLargerThanAPipeBuffer) {
    const RunResult result = runShell("'" + test::probePath + "' 'fill 300000' 'err \n\n'");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, std::string(300000, 'a'));
}

}  // namespace
}  // namespace smcd
