// Many clients at once: every call answered, in order on each connection.

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/client.h"
#include "support/daemon.h"

namespace smcd::test {
namespace {

TEST(Concurrency, ThirtyTwoClientsOfTwoHundredPingsEach) {
    Daemon daemon;
    constexpr int kClients = 32;
    constexpr int kPings = 200;
    std::atomic<int> correct{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            auto c = client::Client::connect(daemon.socketPath());
            if (!c.has_value()) return;
            for (int n = 0; n < kPings; ++n) {
                // The client library checks that each reply answers its own
                // call id, so an out-of-order reply fails the call.
                auto reply = c.value().ping();
                if (!reply.has_value() || reply.value() != "14") return;
                correct.fetch_add(1);
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(correct.load(), kClients * kPings);
}

TEST(Concurrency, PipelinedCallsComeBackInOrder) {
    Daemon daemon;
    UniqueFd fd = connectTo(daemon.socketPath());
    std::string burst;
    for (std::uint64_t id = 1; id <= 500; ++id)
        burst += platform::ipc::encodeCall(id, "pingWithReply:", nlohmann::json::array());
    ASSERT_EQ(::send(fd.get(), burst.data(), burst.size(), MSG_NOSIGNAL), static_cast<ssize_t>(burst.size()));
    platform::ipc::FrameReader reader;
    std::string payload;
    char buffer[4096];
    std::uint64_t expected = 1;
    while (expected <= 500) {
        if (reader.next(payload) == platform::ipc::FrameReader::Status::frame) {
            ASSERT_EQ(nlohmann::json::parse(payload)["id"].get<std::uint64_t>(), expected);
            ++expected;
            continue;
        }
        const ssize_t n = ::recv(fd.get(), buffer, sizeof(buffer), 0);
        ASSERT_GT(n, 0);
        reader.append(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
}

}  // namespace
}  // namespace smcd::test
