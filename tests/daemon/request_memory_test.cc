// What a large request costs the daemon: a small multiple of its reply at
// the peak, and nothing once it is over.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "support/daemon.h"
#include "support/descriptors.h"

namespace smcd::test {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

TEST(RequestMemory, TwoConcurrentLargeMeasurementsCostUnderAGibibyteAndGiveItBack) {
    Daemon daemon;
    ASSERT_TRUE(pingAnswered(daemon.socketPath())) << "idle means started and serving";
    const std::size_t idle = residentBytes(daemon.pid());
    // Writing 5 resets the high-water mark to the present resident size.
    std::ofstream("/proc/" + std::to_string(daemon.pid()) + "/clear_refs") << "5";

    // Within one user's share of the reply budget, both at once.
    std::vector<std::string> paths;
    std::string expected = "[";
    for (int i = 0; i < 500'000; ++i) {
        paths.push_back(std::to_string(i));
        expected += R"({"path":")" + paths.back() + R"(","bytes":0,"fileCount":0,"refused":true},)";
    }
    expected.back() = ']';
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i) {
        clients.emplace_back([&] {
            auto client = client::Client::connect(daemon.socketPath());
            ASSERT_TRUE(client.has_value());
            const auto reply = client.value().measurePrivilegedPaths(paths);
            ASSERT_TRUE(reply.has_value()) << reply.error().reason;
            EXPECT_TRUE(reply.value() == expected) << "a reply not whole, or not each path refused";
        });
    }
    for (auto& client : clients) client.join();
    const std::size_t peak = peakResidentBytes(daemon.pid());

    EXPECT_TRUE(pingAnswered(daemon.socketPath()));
    if (!kMeasuresMemory) GTEST_SKIP() << "resident sizes are the sanitizer's";
    EXPECT_LT(peak, idle + 1024 * kMiB) << "peak " << peak / kMiB << " MiB, idle " << idle / kMiB << " MiB";
    // The last replies may still be on their way out when the clients return.
    EXPECT_TRUE(eventually([&] { return residentBytes(daemon.pid()) < idle + 64 * kMiB; }))
        << "memory kept after the requests";
}

}  // namespace
}  // namespace smcd::test
