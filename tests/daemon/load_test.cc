// The daemon under a hostile peer's load: a flood of idle connections, input
// left half sent, and an app that dies while its request runs.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/limits.h"
#include "platform/ipc/linux/wire.h"
#include "support/daemon.h"
#include "simulated_mac.h"
#include "support/descriptors.h"
#include "support/frames.h"
#include "support/tree.h"

namespace smcd::test {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// A process of this program (which carries the app's identity) running as
// `uid`: it runs `body`, which keeps what it opens in the list it is given,
// and holds all of it until the process is destroyed; `result()` is what
// `body` returned.
class UserProcess {
public:
    UserProcess(uid_t uid, const std::function<int(std::vector<UniqueFd>&)>& body) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_t pid = ::fork();
        if (pid == 0) {
            const rlimit enough{4096, 4096};
            if (::setrlimit(RLIMIT_NOFILE, &enough) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(20) != 0 ||
                ::setuid(uid) != 0)
                ::_exit(1);
            std::vector<UniqueFd> held;
            const int result = body(held);
            (void)!::write(ready[1], &result, sizeof result);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        const bool started = pid > 0 && ::read(ready[0], &result_, sizeof result_) == sizeof result_;
        ::close(ready[0]);
        pid_ = pid;
        if (!started) throw std::runtime_error("the process of uid " + std::to_string(uid) + " did not start");
    }
    ~UserProcess() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    int result() const { return result_; }

private:
    pid_t pid_ = -1;
    int result_ = 0;
};

// `count` connections of `uid` held open; its result is how many of them answered a ping.
std::unique_ptr<UserProcess> holdConnections(uid_t uid, const std::string& socket, int count) {
    return std::make_unique<UserProcess>(uid, [&](std::vector<UniqueFd>& held) {
        int answered = 0;
        const std::string ping = platform::ipc::encodeCall(1, "pingWithReply:", nlohmann::json::array()).value();
        for (int i = 0; i < count; ++i) {
            held.push_back(connectTo(socket));
            platform::ipc::FrameReader reader(platform::ipc::kMaxReplyFrameSize);
            answered += ::send(held.back().get(), ping.data(), ping.size(), MSG_NOSIGNAL) > 0 &&
                        nextFrame(held.back().get(), reader).has_value();
        }
        return answered;
    });
}

// A 16 MiB call frame but for its last byte, which never comes.
std::string stalledFrame() {
    const std::string whole = platform::ipc::frame(std::string(platform::ipc::kMaxFrameSize, ' ')).value();
    return whole.substr(0, whole.size() - 1);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

using Load = SandboxTest;

// At the common limit of 1,024 descriptors, one user's 2,000 idle connections
// cost a bounded number of threads, and another user and root are still
// served, with measurements that are right.
TEST_F(Load, OneUsersTwoThousandIdleConnectionsLeaveOthersServedWithBoundedThreads) {
    Daemon daemon(Daemon::Options{.descriptorLimit = 1024});
    const std::string probe = "/Library/Caches/load-probe";
    makeTree(probe);
    const auto [bytes, files] = findTotals(probe);
    const auto flood = holdConnections(501, daemon.socketPath(), 2000);

    const Finished ping = smcctl(daemon, {"ping"}, {.uid = 502});
    EXPECT_EQ(ping.status, 0) << ping.err;
    EXPECT_EQ(ping.out, "14\n");
    auto root = answered(client::Client::connect(daemon.socketPath()));
    EXPECT_EQ(answered(root.measurePrivilegedPaths(std::vector<std::string>{probe})),
              "[{\"path\":\"" + probe + "\",\"bytes\":" + std::to_string(bytes) + ",\"fileCount\":" + std::to_string(files) +
                  ",\"refused\":false}]");
    EXPECT_LT(threadCount(daemon.pid()), 1000u);
    const std::string refusal = "refused connection from pid ";
    EXPECT_TRUE(daemon.logEventuallyContains(refusal));
    EXPECT_EQ(occurrences(daemon.log(), refusal), 1u) << "refusals within seconds of each other share one line";
    EXPECT_TRUE(daemon.logContains("uid 501: its user holds as many connections as one user may"));
    std::filesystem::remove_all(probe);
}

// Forty peers of one user that each send all but the last byte of a 16 MiB
// request and stall: the user's share of the input budget caps what they
// cost, and it is gone once they close.
TEST_F(Load, StalledLargeFramesCostNoMoreThanTheInputBudgetAndGoWhenTheyClose) {
    // Enough descriptors that the budget, not the caps, is what holds.
    Daemon daemon(Daemon::Options{.descriptorLimit = 4096});
    ASSERT_TRUE(pingAnswered(daemon.socketPath()));
    const std::size_t idle = settledCount([&] { return residentBytes(daemon.pid()); });
    const std::string stalled = stalledFrame();
    std::vector<UniqueFd> peers;
    for (int i = 0; i < 40; ++i) {
        peers.push_back(connectTo(daemon.socketPath()));
        (void)::send(peers.back().get(), stalled.data(), stalled.size(), MSG_NOSIGNAL);  // cut short when refused
    }
    EXPECT_TRUE(pingAnswered(daemon.socketPath()));
    EXPECT_TRUE(daemon.logEventuallyContains("buffered input of uid 0 at its share of 67108864 bytes"));
    if (kMeasuresMemory) {
        EXPECT_LT(peakResidentBytes(daemon.pid()) - idle, 200 * kMiB);
    }
    peers.clear();
    if (kMeasuresMemory) {
        EXPECT_TRUE(eventually([&] { return residentBytes(daemon.pid()) < idle + 64 * kMiB; }, std::chrono::seconds(5)))
            << residentBytes(daemon.pid()) / kMiB << " MiB resident, " << idle / kMiB << " MiB idle";
    }
}

// The per-user cap holds at its value whoever's processes hold the places:
// at a soft and hard limit of 256 two processes of uid 501 holding its cap
// between them leave no room for a third of its processes, but do for uid
// 502, and a place is free again once one leaves.
// With a hard limit of 4,096 the daemon raises its own and one user holds eight.
TEST_F(Load, TheCapPerUserHoldsAtItsValueAcrossProcessesAndARaisedLimitGivesEachUserEight) {
    {
        Daemon daemon(Daemon::Options{.descriptorLimit = 256});
        const int cap = static_cast<int>(limits::capConnections(256).perUser);
        auto first = holdConnections(501, daemon.socketPath(), cap - 1);
        const auto last = holdConnections(501, daemon.socketPath(), 1);
        EXPECT_EQ(first->result() + last->result(), cap);
        EXPECT_NE(smcctl(daemon, {"ping"}, {.uid = 501}).status, 0) << "a connection of uid 501 past its cap was served";
        EXPECT_EQ(smcctl(daemon, {"ping"}, {.uid = 502}).status, 0);
        first.reset();
        EXPECT_TRUE(eventually([&] { return smcctl(daemon, {"ping"}, {.uid = 501}).status == 0; }));
    }
    Daemon daemon(Daemon::Options{.descriptorLimit = 256, .hardDescriptorLimit = 4096});
    const auto eight = holdConnections(501, daemon.socketPath(), 8);
    EXPECT_EQ(eight->result(), 8);
    EXPECT_EQ(smcctl(daemon, {"ping"}, {.uid = 501}).status, 0);
}

// At a soft limit of 4,096 uid 501 stalls seventeen 16 MiB frames (the whole
// input budget, were there no shares) and leaves the replies to four
// million-path measurements unread: past its share of either it is refused,
// and uid 502's ping and measurement are served.
TEST_F(Load, OneUserHoldingItsSharesOfInputAndRepliesLeavesAnotherServed) {
    Daemon daemon(Daemon::Options{.descriptorLimit = 4096});
    const std::string probe = "/Library/Caches/share-probe";
    makeTree(probe);
    const auto hog = std::make_unique<UserProcess>(501, [&](std::vector<UniqueFd>& held) {
        std::vector<std::string> paths;
        for (int i = 0; i < 1'000'000; ++i) paths.push_back(std::to_string(i));
        const std::string measure =
            platform::ipc::encodeCall(1, "measurePrivilegedPathsWithPaths:reply:", std::vector{platform::ipc::WireValue(paths)}).value();
        const std::string stalled = stalledFrame();
        for (const auto& [bytes, count] : {std::pair{&measure, 4}, {&stalled, 17}}) {
            for (int i = 0; i < count; ++i) {
                held.push_back(connectTo(daemon.socketPath()));
                (void)::send(held.back().get(), bytes->data(), bytes->size(), MSG_NOSIGNAL);  // cut short when refused
            }
        }
        return 0;
    });
    EXPECT_TRUE(daemon.logEventuallyContains("buffered input of uid 501 at its share of 67108864 bytes"));
    EXPECT_TRUE(daemon.logEventuallyContains("replies of uid 501 at their share of 268435456 bytes",
                                             std::chrono::seconds(60)));
    EXPECT_EQ(smcctl(daemon, {"ping"}, {.uid = 502}).status, 0);
    EXPECT_EQ(smcctl(daemon, {"measure", probe}, {.uid = 502}).status, 0);
    std::filesystem::remove_all(probe);
}

// The stand-in for mdutil in the Spotlight task: its first run notes its
// pid and sleeps 20 s (killed by the test), its second returns at once.
class SlowSpotlight {
public:
    SlowSpotlight() { writeFile(kTool, "#!/bin/sh\n[ \"$1\" = -E ] && exit 0\necho $$ >> " + runs_ + "\nexec sleep 20\n", 0755); }
    ~SlowSpotlight() {
        stop();
        std::remove(kTool.c_str());
    }
    bool running() const { return runs() > 0; }  // its pid written whole
    std::size_t runs() const { return occurrences(readFile(runs_), "\n"); }
    // Once only: its pid, once reaped, may be another process's.
    void stop() {
        if (running() && !stopped_) ::kill(std::stoi(readFile(runs_)), SIGKILL);
        stopped_ = true;
    }

private:
    inline static const std::string kTool = "/usr/sbin/mdutil";
    TempDir dir_;
    std::string runs_ = dir_ / "runs";  // a line with its pid for each run that sleeps
    bool stopped_ = false;
};

// The app sets a fan, starts the 20 s Spotlight task twice in one request
// with a second fan request queued behind it, and is killed: the fan is
// automatic again within 3 s, and neither the second task nor the queued
// request ever runs.
TEST_F(Load, TheFansGoBackAtOnceWhenTheAppDiesDuringAMaintenanceTask) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0.2"});
    const std::size_t threads = settledCount([&] { return threadCount(mac.daemon->pid()); });
    SlowSpotlight spotlight;
    TempDir dir;
    using platform::ipc::WireValue;
    writeFile(dir / "calls",
              platform::ipc::encodeCall(1, "setFanWithIndex:manual:targetRPM:reply:",
                                        std::vector<WireValue>{std::int64_t{0}, true, std::int64_t{3000}})
                      .value() +
                  platform::ipc::encodeCall(2, "runMaintenanceWithTaskIDs:reply:",
                                            std::vector<WireValue>{std::vector<std::string>{"spotlight", "spotlight"}})
                      .value() +
                  platform::ipc::encodeCall(3, "setFanWithIndex:manual:targetRPM:reply:",
                                            std::vector<WireValue>{std::int64_t{1}, true, std::int64_t{4000}})
                      .value());
    // smcctl raw sends the calls, stops writing and waits for the replies, as an app would.
    ChildProcess app({"/bin/sh", "-c", "exec \"$0\" --socket \"$1\" raw < \"$2\"", std::string(SMCD_BINARY_DIR) + "/smcctl",
                      mac.daemon->socketPath(), dir / "calls"});
    ASSERT_TRUE(eventually([&] { return spotlight.running(); }, std::chrono::seconds(30)));
    ASSERT_EQ(mac.value("F0Md"), 1);

    app.signal(SIGKILL);
    app.wait();
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return mac.allFansAutomatic(); }, std::chrono::seconds(3)));
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(3));

    spotlight.stop();  // the task ends; the connection's thread finds it ended
    EXPECT_TRUE(eventually([&] { return threadCount(mac.daemon->pid()) == threads; }));
    EXPECT_TRUE(mac.allFansAutomatic()) << "the request queued behind the task ran";
    EXPECT_EQ(spotlight.runs(), 1u) << "the request's next task ran for nobody";
}

}  // namespace
}  // namespace smcd::test
