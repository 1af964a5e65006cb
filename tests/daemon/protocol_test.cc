// Abuse of the wire protocol over real sockets: each case costs only its own
// connection, and the daemon gives back every descriptor and thread.

#include <fcntl.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "client/client.h"
#include "platform/ipc/linux/wire.h"
#include "smcd/product_facts.h"
#include "support/daemon.h"
#include "support/descriptors.h"
#include "support/frames.h"

namespace smcd::test {
namespace {

using platform::ipc::encodeCall;
using platform::ipc::frame;
using platform::ipc::FrameReader;

const std::string kPing = encodeCall(1, "pingWithReply:", nlohmann::json::array()).value();

class Protocol : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pingAnswered(daemon_.socketPath()));
        // Settled state: the daemon's own threads, no connection.
        threads_ = settledCount([&] { return threadCount(daemon_.pid()); });
        descriptors_ = openDescriptorCount(daemon_.pid());
    }

    void TearDown() override {
        EXPECT_TRUE(pingAnswered(daemon_.socketPath())) << "the daemon stopped serving others";
        EXPECT_TRUE(eventually([&] { return openDescriptorCount(daemon_.pid()) == descriptors_; }))
            << "descriptors: " << openDescriptorCount(daemon_.pid()) << " now, " << descriptors_ << " before";
        EXPECT_TRUE(eventually([&] { return threadCount(daemon_.pid()) == threads_; })) << threadCount(daemon_.pid());
    }

    // A connection that has sent `bytes`.
    UniqueFd sending(const std::string& bytes) {
        UniqueFd fd = connectTo(daemon_.socketPath());
        EXPECT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        return fd;
    }

    Daemon daemon_;
    std::size_t descriptors_ = 0;
    std::size_t threads_ = 0;
};

// The connection closes at once: a well-formed call sent after the bad one
// is never answered.
TEST_F(Protocol, MalformedFramesInvalidateOnlyTheirConnection) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"length 0", std::string("\0\0\0\0", 4)},
        {"length 2^32-1", "\xFF\xFF\xFF\xFF" + std::string(64, 'x')},
        {"garbage", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"unknown selector", encodeCall(1, "launchMissilesWithReply:", nlohmann::json::array()).value()},
        {"too many arguments", encodeCall(1, "pingWithReply:", nlohmann::json::parse("[1]")).value()},
        {"an argument of the wrong type",
         encodeCall(1, "measurePrivilegedPathsWithPaths:reply:", nlohmann::json::parse("[[1]]")).value()},
    };
    for (const auto& [name, bytes] : cases) {
        UniqueFd fd = sending(bytes + kPing);
        FrameReader reader;
        EXPECT_EQ(nextFrame(fd.get(), reader), std::nullopt) << name << ": not closed at once";
    }
}

TEST_F(Protocol, ABadCallAfterGoodOnesStillGetsTheGoodRepliesFirst) {
    UniqueFd fd = sending(kPing + encodeCall(2, "pingWithReply:", nlohmann::json::array()).value() + frame("{}").value());
    FrameReader reader;
    const std::string version(product_facts::kDaemonVersion);
    EXPECT_EQ(nextFrame(fd.get(), reader), R"({"id":1,"reply":[")" + version + R"("]})");
    EXPECT_EQ(nextFrame(fd.get(), reader), R"({"id":2,"reply":[")" + version + R"("]})");
    EXPECT_EQ(nextFrame(fd.get(), reader), std::nullopt);
}

TEST_F(Protocol, AClientThatNeverReadsItsRepliesHoldsUpNobodyElse) {
    UniqueFd fd = connectTo(daemon_.socketPath());
    ::fcntl(fd.get(), F_SETFL, O_NONBLOCK);
    // Until both directions are full and this connection's thread is stuck writing.
    for (std::size_t sent = 0; sent < 64 * 1024 * 1024;) {
        const ssize_t n = ::send(fd.get(), kPing.data(), kPing.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    EXPECT_TRUE(pingAnswered(daemon_.socketPath()));
}

}  // namespace
}  // namespace smcd::test
