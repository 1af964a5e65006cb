// smcctl run in-process against the real daemon (which has no SMC): what a
// script reads from its exit status, and what a person reads.

#include <fcntl.h>
#include <sys/socket.h>

#include <thread>

#include <gtest/gtest.h>

#include "platform/ipc/linux/wire.h"
#include "smcctl/smcctl.h"
#include "support/daemon.h"

namespace smcd::test {
namespace {

class Smcctl : public ::testing::Test {
protected:
    Finished run(const std::vector<std::string>& words, const std::string& input = "") {
        writeFile(dir_ / "in", input);
        const UniqueFd in(::open((dir_ / "in").c_str(), O_RDONLY | O_CLOEXEC));
        const UniqueFd out(::open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        const UniqueFd err(::open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        const int status = smcctl::runCommandLine(words, {in.get(), out.get(), err.get()});
        return {status, readFile(dir_ / "out"), readFile(dir_ / "err")};
    }

    Daemon daemon_;
    TempDir dir_;
};

TEST_F(Smcctl, ExitStatusSaysWhatTheReplySaid) {
    const std::string socket = "--socket=" + daemon_.socketPath();
    // Refused locally, so no daemon is needed: 2 would mean smcctl tried one.
    const std::string nowhere = dir_ / "none";
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string shown;  // found on standard output for 0 and 1, on standard error otherwise
    };
    for (const auto& [words, status, shown] : std::vector<Case>{
             {{"ping", socket}, 0, "14\n"},
             {{"capabilities", "--json", socket}, 0, "[]\n"},
             {{socket, "remove", "systemLogs"}, 0, "no paths\n"},
             {{socket, "set-fan", "0", "manual", "2000"}, 1, "SMC unavailable\n"},
             {{socket, "--json", "reset-fans"}, 1, "{\"success\":false,\"message\":\"SMC unavailable\"}\n"},
             {{socket, "call", "setFanWithIndex:manual:targetRPM:reply:", "[0, true, 2000]"}, 1, "[false,\"SMC unavailable\"]\n"},
             {{socket, "measure", "/nowhere"}, 1, "/nowhere"},
             {{socket, "maintenance", "nope"}, 1, "Unknown maintenance task"},
             {{socket, "delete-snapshots", "1", "/"}, 1, "0 removed: "},
             {{"--socket", nowhere, "ping"}, 2, "smcd is not running"},
             {{"--socket", nowhere, "call", "pingWithReply:", "[1]"}, 64, "pingWithReply: takes 0 arguments"},
             {{"--socket", nowhere, "call", "setFanWithIndex:manual:targetRPM:reply:", "[\"0\", true, 1]"}, 64,
              "argument 1 of setFanWithIndex:manual:targetRPM:reply: must be an integer"},
             {{"--socket", nowhere, "call", "pingWithReply"}, 64, "unknown selector pingWithReply ("},
             {{"--socket", nowhere, "set-fan", "0", "manual", "fast"}, 64, "not an integer: fast"},
             {{"--socket", nowhere, "remove", "systemLogs", "--trash"}, 64, "takes no --trash"},
             {{"--", "--socket", nowhere, "ping"}, 64, "unknown command --socket"},
             {{"ping", "--socket"}, 64, "--socket needs a value"},
             {{"--help"}, 0, "usage: smcctl"},
             {{"-h"}, 0, "exit status:"},
             {{"help"}, 0, "call SELECTOR"},
         }) {
        const Finished ran = run(words);
        EXPECT_EQ(ran.status, status) << words.back() << ran.err;
        EXPECT_NE((status <= 1 ? ran.out : ran.err).find(shown), std::string::npos) << ran.out << ran.err;
    }
}

TEST_F(Smcctl, ADroppedConnectionIsTheDaemonUnavailable) {
    const std::string path = dir_ / "dropping";
    const UniqueFd listening = listenAt(path);
    std::jthread dropper([&] { UniqueFd(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC)); });
    const Finished ran = run({"--socket", path, "ping"});
    EXPECT_EQ(ran.status, 2);
    EXPECT_NE(ran.err.find("dropped the connection"), std::string::npos) << ran.err;
}

TEST_F(Smcctl, RawCompletesFiftyThousandPipelinedPings) {
    constexpr std::uint64_t kPings = 50000;
    std::string calls;
    for (std::uint64_t id = 1; id <= kPings; ++id)
        calls += platform::ipc::encodeCall(id, "pingWithReply:", nlohmann::json::array()).value();
    const Finished ran = run({"raw", "--socket", daemon_.socketPath()}, calls);
    ASSERT_EQ(ran.status, 0) << ran.err;
    platform::ipc::FrameReader replies(platform::ipc::kMaxReplyFrameSize);
    replies.append(ran.out);
    std::string payload;
    std::string last;
    std::uint64_t count = 0;
    for (; replies.next(payload) == platform::ipc::FrameReader::Status::frame; ++count) last = payload;
    EXPECT_EQ(count, kPings);
    EXPECT_EQ(last, "{\"id\":50000,\"reply\":[\"14\"]}");
}

}  // namespace
}  // namespace smcd::test
