#include "platform/process/process_launcher.h"

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "probe_support.h"
#include "support/descriptors.h"
#include "support/temp_dir.h"

namespace smcd::platform {
namespace {

using test::parseReport;
using test::probePath;

const std::vector<std::string> onlyPath{"PATH=/usr/bin:/bin"};

ProcessExit runProbe(std::vector<std::string> steps, OutputRoute out = OutputRoute::capture,
                     OutputRoute err = OutputRoute::capture) {
    auto outcome = runToExit({probePath, std::move(steps), onlyPath, out, err});
    EXPECT_TRUE(std::holds_alternative<ProcessExit>(outcome));
    return std::holds_alternative<ProcessExit>(outcome) ? std::get<ProcessExit>(outcome) : ProcessExit{-99, {}};
}

TEST(ProcessLauncher, ChildGetsExactlyItsArgumentsAndEnvironment) {
    ::setenv("SMCD_LAUNCHER_CANARY", "must not reach a child", 1);
    const auto exit = runProbe({"report", "--", "", "two words", "quote\"and\nnewline"});
    ::unsetenv("SMCD_LAUNCHER_CANARY");
    const auto report = parseReport(exit.captured);
    EXPECT_EQ(report.argv, (std::vector<std::string>{probePath, "report", "--", "", "two words", "quote\"and\nnewline"}));
    EXPECT_EQ(report.env, onlyPath);
}

TEST(ProcessLauncher, ChildInheritsNoDescriptorAndStartsWithDefaultSignals) {
    // An inheritable descriptor, as a careless library might leave one.
    UniqueFd leaky(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(leaky);
    ASSERT_EQ(::fcntl(leaky.get(), F_SETFD, 0), 0);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldPipe {}, oldUsr1 {};
    ::sigaction(SIGPIPE, &ignore, &oldPipe);
    ::sigaction(SIGUSR1, &ignore, &oldUsr1);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    sigaddset(&block, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &block, &oldMask);

    const auto report = parseReport(runProbe({"report"}).captured);

    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    ::sigaction(SIGPIPE, &oldPipe, nullptr);
    ::sigaction(SIGUSR1, &oldUsr1, nullptr);
    EXPECT_EQ(report.fds, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(report.ignored.empty());
    EXPECT_TRUE(report.blocked.empty());
}

TEST(ProcessLauncher, RoutesOutputStreams) {
    EXPECT_EQ(runProbe({"out a", "err b", "out c"}).captured, "abc");
    EXPECT_EQ(runProbe({"out a", "err b"}, OutputRoute::capture, OutputRoute::discard).captured, "a");

    test::TempDir dir;
    const auto discarded = runProbe({"record " + (dir / "r"), "out x"}, OutputRoute::discard, OutputRoute::discard);
    EXPECT_EQ(discarded.captured, "");
    EXPECT_EQ(parseReport(test::readFile(dir / "r")).links[1], "/dev/null");
    EXPECT_EQ(parseReport(test::readFile(dir / "r")).links[2], "/dev/null");
}

TEST(ProcessLauncher, ReportsExitCodeOrSignalNumber) {
    EXPECT_EQ(runProbe({"out partial", "exit 3"}).status, 3);
    EXPECT_EQ(runProbe({"exit 0"}).status, 0);
    EXPECT_EQ(runProbe({"raise 9"}).status, SIGKILL);
    EXPECT_EQ(runProbe({"raise 15"}).status, SIGTERM);
}

TEST(ProcessLauncher, DrainsOutputLargerThanAPipeBuffer) {
    const std::size_t size = (std::size_t{1} << 20) + 7;
    const auto exit = runProbe({"fill " + std::to_string(size), "exit 4"});
    EXPECT_EQ(exit.status, 4);
    EXPECT_EQ(exit.captured, std::string(size, 'a'));
}

TEST(ProcessLauncher, LaunchFailuresAreTypedAndDescribed) {
    test::TempDir dir;
    test::writeFile(dir / "not-executable", "#!/bin/sh\n", 0644);
    struct Case {
        std::string executable;
        std::vector<std::string> arguments;
        int code;
    };
    const std::vector<Case> cases = {
        {dir / "missing", {}, ENOENT},
        {dir / "not-executable", {}, EACCES},
        {dir.path(), {}, EACCES},
        {"tests/tool_probe", {}, ENOENT},
        // Would silently run "record <file>" without the tail; refused instead.
        {probePath, {"record " + (dir / "ran") + std::string("\0tail", 5)}, EINVAL},
    };
    const auto before = test::openDescriptorCount();
    for (const auto& c : cases) {
        const auto outcome = runToExit({c.executable, c.arguments, onlyPath, OutputRoute::capture,
                                        OutputRoute::discard});
        ASSERT_TRUE(std::holds_alternative<LaunchFailure>(outcome)) << c.executable;
        const auto& failure = std::get<LaunchFailure>(outcome);
        EXPECT_EQ(failure.code, c.code) << c.executable;
        EXPECT_NE(failure.description.find(c.executable), std::string::npos) << failure.description;
    }
    EXPECT_FALSE(test::exists(dir / "ran"));
    EXPECT_EQ(test::openDescriptorCount(), before);
}

TEST(ProcessLauncher, ConcurrentLaunchesKeepTheirOwnPipes) {
    const auto before = test::openDescriptorCount();
    constexpr int threads = 6;
    std::vector<std::string> outputs(threads);
    std::vector<std::vector<int>> fds(threads);
    {
        std::vector<std::jthread> workers;
        for (int i = 0; i < threads; ++i) {
            workers.emplace_back([&, i] {
                for (int round = 0; round < 5; ++round) {
                    const auto exit = runProbe({"fill 100000", "out " + std::to_string(i), "report"});
                    outputs[i] = exit.captured.substr(0, 100001);
                    fds[i] = parseReport(exit.captured.substr(100001)).fds;
                }
            });
        }
    }
    for (int i = 0; i < threads; ++i) {
        EXPECT_EQ(outputs[i], std::string(100000, 'a') + std::to_string(i));
        EXPECT_EQ(fds[i], (std::vector<int>{0, 1, 2}));
    }
    EXPECT_EQ(test::openDescriptorCount(), before);
}

}  // namespace
}  // namespace smcd::platform
