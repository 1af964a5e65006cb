// Many clients at once: every call answered, and the daemon back where it
// started once they have all gone.
//
// SMCD_SOAK_SECONDS lengthens the mixed run (2 s by default; `make soak`).

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "simulated_mac.h"
#include "smcd/product_facts.h"
#include "support/descriptors.h"

namespace smcd::test {
namespace {

// One call of kind 0 to 5, checked; removals get a new item at `path` to remove.
bool mixedCall(client::Client& c, unsigned kind, std::mt19937& random, const std::string& path) {
    switch (kind) {
        case 0: {
            const auto version = c.ping();
            return version.has_value() && version.value() == product_facts::kDaemonVersion;
        }
        case 1: return c.capabilities().has_value();
        case 2: return c.setFan(random() % 3, random() % 2 == 0, 1500 + random() % 4000).has_value();
        case 3: return c.resetAllToAuto().has_value();
        case 4: return c.measurePrivilegedPaths(std::vector<std::string>{"/Library/Caches"}).has_value();
        default: {
            writeFile(path, "payload");
            const auto records = c.removeSystemCachePaths(std::vector<std::string>{path, "/private/etc/passwd"});
            return records.has_value() && !exists(path) && exists("/private/etc/passwd");
        }
    }
}

// Connects, makes a random run of calls, leaves; until the deadline.
// (GoogleTest's assertions may be made on any thread.)
void mixedClient(const std::string& socket, unsigned seed, std::chrono::steady_clock::time_point deadline) {
    std::mt19937 random(seed);
    for (int item = 0; std::chrono::steady_clock::now() < deadline;) {
        auto connection = client::Client::connect(socket);
        if (!connection.has_value()) return ADD_FAILURE() << "cannot connect: " << connection.error().reason;
        for (unsigned calls = 1 + random() % 16; calls > 0 && std::chrono::steady_clock::now() < deadline; --calls) {
            const unsigned kind = random() % 6;
            const std::string path = "/Library/Caches/mixed-" + std::to_string(seed) + "-" + std::to_string(item++);
            EXPECT_TRUE(mixedCall(connection.value(), kind, random, path)) << "client " << seed << ", call kind " << kind;
        }
    }
}

using MixedClients = SandboxTest;

TEST_F(MixedClients, EveryCallIsAnsweredAndTheDaemonEndsAsItStartedWithEveryFanAutomatic) {
    SimulatedMac mac("apple-silicon-laptop", {"--hold", "0.2"});
    const pid_t daemon = mac.daemon->pid();
    // Every kind of call once first, so that one-time state is not counted as a leak.
    std::mt19937 random(0);
    for (unsigned kind = 0; kind < 6; ++kind) {
        auto warmUp = mac.connect();
        ASSERT_TRUE(mixedCall(warmUp, kind, random, "/Library/Caches/mixed-warm-up")) << kind;
    }
    ASSERT_TRUE(eventually([&] { return mac.allFansAutomatic(); }));
    const std::size_t descriptors = settledCount([&] { return openDescriptorCount(daemon); });
    const std::size_t threads = settledCount([&] { return threadCount(daemon); });

    const char* seconds = std::getenv("SMCD_SOAK_SECONDS");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds ? std::atoi(seconds) : 2);
    std::vector<std::thread> clients;
    for (unsigned seed = 1; seed <= 8; ++seed)
        clients.emplace_back(mixedClient, mac.daemon->socketPath(), seed, deadline);
    for (auto& client : clients) client.join();

    EXPECT_TRUE(eventually([&] { return mac.allFansAutomatic(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(eventually([&] { return openDescriptorCount(daemon) == descriptors; }, std::chrono::seconds(30)))
        << openDescriptorCount(daemon) << " descriptors, " << descriptors << " at the start";
    EXPECT_TRUE(eventually([&] { return threadCount(daemon) == threads; }, std::chrono::seconds(30)))
        << threadCount(daemon) << " threads, " << threads << " at the start";
    // Under a sanitizer, a report or a leak found at exit changes the status and marks the log.
    const auto exited = mac.connect().terminateForUpdate();
    EXPECT_TRUE(exited.has_value() && exited.value());
    EXPECT_EQ(mac.daemon->process().wait(std::chrono::seconds(60)), 0);
    EXPECT_EQ(mac.daemon->log().find("Sanitizer"), std::string::npos) << mac.daemon->log();
}

}  // namespace
}  // namespace smcd::test
