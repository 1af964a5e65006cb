// What a large request costs the daemon: a small multiple of its reply at
// the peak, and nothing once it is over.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "support/daemon.h"

// Resident sizes mean nothing under a sanitizer, which keeps freed memory in
// quarantine and shadows every byte.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SMCD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SMCD_SANITIZED 1
#endif
#endif
#ifndef SMCD_SANITIZED
#define SMCD_SANITIZED 0
#endif

namespace smcd::test {
namespace {

constexpr long kMiB = 1024;  // in the kB of /proc/<pid>/status

long statusKilobytes(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    ADD_FAILURE() << field << " not in the status of " << pid;
    return 0;
}

TEST(RequestMemory, TwoConcurrentLargeMeasurementsCostUnderAGibibyteAndGiveItBack) {
    Daemon daemon;
    const long idle = statusKilobytes(daemon.pid(), "VmRSS:");
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
    const long peak = statusKilobytes(daemon.pid(), "VmHWM:");

    EXPECT_TRUE(pingAnswered(daemon.socketPath()));
    if (SMCD_SANITIZED) GTEST_SKIP() << "resident sizes are the sanitizer's";
    EXPECT_LT(peak - idle, 1024 * kMiB) << "peak " << peak << " kB, idle " << idle << " kB";
    EXPECT_LT(statusKilobytes(daemon.pid(), "VmRSS:") - idle, 64 * kMiB) << "memory kept after the requests";
}

}  // namespace
}  // namespace smcd::test
