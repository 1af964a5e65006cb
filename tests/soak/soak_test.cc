// Load and soak: many clients at once, mixing every method, against one
// daemon that drives a simulated Mac. Afterwards the daemon must hold what
// it held before (descriptors, threads, memory within a bound), every call
// must have been answered exactly once, and every fan must be automatic
// again once the last client has gone.
//
// SMCD_SOAK_SECONDS sets the length (default 15 s, for `make test`); `make
// soak` runs it for minutes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <thread>

#include "mixed_workload.h"
#include "process_usage.h"
#include "raw_sessions.h"
#include "simulated_mac.h"
#include "support/descriptors.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SMCD_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SMCD_SOAK_SANITIZED 1
#endif
#endif

namespace smcd::soak {
namespace {

using std::chrono::seconds;

constexpr std::size_t kMixedClients = 16;
constexpr std::size_t kPipelinedClients = 2;
constexpr std::size_t kMisbehavingClients = 1;
// Growth of the daemon's resident memory allowed between the end of the
// first phase and the end of the soak. A leak of a few hundred bytes per
// request crosses it within the default run's thousands of requests.
[[maybe_unused]] constexpr std::size_t kResidentGrowthBound = 24u << 20;  // unused under sanitizers

seconds soakLength() {
    const char* text = std::getenv("SMCD_SOAK_SECONDS");
    const long value = text ? std::strtol(text, nullptr, 10) : 0;
    return seconds(value >= 6 ? value : 15);
}

bool allFansAutomatic(const test::SimulatedMac& mac) {
    return mac.control("value F0Md") == "ok 0" && mac.control("value F1Md") == "ok 0" &&
           mac.control("value Ftst") == "ok 0";
}

// Every kind of client at once until `length` has passed; returns when the
// last of them has left.
void runClients(const std::string& socketPath, seconds length, std::uint32_t seedBase, Tally& tally) {
    const auto deadline = std::chrono::steady_clock::now() + length;
    std::vector<std::thread> clients;
    std::uint32_t seed = seedBase;
    const auto plan = [&] { return ClientPlan{socketPath, seed++, 2, deadline}; };
    for (std::size_t i = 0; i < kMixedClients; ++i) clients.emplace_back(runMixedClient, plan(), std::ref(tally));
    for (std::size_t i = 0; i < kPipelinedClients; ++i) clients.emplace_back(runPipelinedClient, plan(), std::ref(tally));
    for (std::size_t i = 0; i < kMisbehavingClients; ++i) clients.emplace_back(runMisbehavingClient, plan(), std::ref(tally));
    for (auto& client : clients) client.join();
}

std::string describe(const std::vector<std::string>& failures) {
    std::string text;
    for (const auto& failure : failures) text += "\n  " + failure;
    return text;
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::insideSandbox()) GTEST_SKIP() << "binds the compiled-in /var/run paths and writes /Library: sandbox only";
        fixture::prepare();
    }
    void TearDown() override {
        if (test::insideSandbox()) fixture::tearDown();
    }
};

TEST_F(Soak, ManyClientsMixingEveryMethodLeaveTheDaemonAsTheyFoundIt) {
    test::SimulatedMac mac("apple-silicon-laptop", {"--hold", "0.2"});
    const pid_t daemon = mac.daemon->pid();
    const std::string socketPath = mac.daemon->socketPath();

    // What the daemon holds with nobody connected, once every code path
    // has run once (one-time tables, the runners, the Trash).
    Tally warmUp;
    callEveryMethodOnce(ClientPlan{socketPath, 1, 2, {}}, warmUp);
    ASSERT_TRUE(warmUp.failures().empty()) << describe(warmUp.failures());
    ASSERT_TRUE(test::eventually([&] { return allFansAutomatic(mac); }));
    const std::size_t descriptors = steadyValue([&] { return test::openDescriptorCount(daemon); });
    const std::size_t threads = steadyValue([&] { return test::threadCount(daemon); });

    // Two phases: the first brings the allocator to its working size, the
    // second must not grow it further.
    const seconds length = soakLength();
    Tally tally;
    runClients(socketPath, length / 3, 100, tally);
    ASSERT_TRUE(test::eventually([&] { return allFansAutomatic(mac); }, seconds(30)))
        << "fans left manual after the first phase";
    const std::size_t residentAfterFirstPhase = steadyValue([&] { return residentBytes(daemon); });
    runClients(socketPath, length - length / 3, 200, tally);

    EXPECT_TRUE(tally.failures().empty()) << describe(tally.failures());
    for (std::size_t i = 0; i < kMethodCount; ++i) {
        const auto method = static_cast<Method>(i);
        if (method != Method::terminateForUpdate) {
            EXPECT_GT(tally.answeredCount(method), 0u) << selectorOf(method) << " was never answered";
        }
    }
    EXPECT_TRUE(test::eventually([&] { return allFansAutomatic(mac); }, seconds(30)))
        << "fans left manual after the last client left";
    EXPECT_TRUE(test::eventually([&] { return test::openDescriptorCount(daemon) == descriptors; }, seconds(30)))
        << "descriptors: " << test::openDescriptorCount(daemon) << ", at the start " << descriptors;
    EXPECT_TRUE(test::eventually([&] { return test::threadCount(daemon) == threads; }, seconds(30)))
        << "threads: " << test::threadCount(daemon) << ", at the start " << threads;
    const std::size_t residentAtEnd = steadyValue([&] { return residentBytes(daemon); });
#ifndef SMCD_SOAK_SANITIZED
    // Sanitizer runtimes keep freed memory in quarantine and shadow maps;
    // there the leak checker at exit (below) speaks for memory instead.
    EXPECT_LE(residentAtEnd, residentAfterFirstPhase + kResidentGrowthBound)
        << "resident memory grew from " << residentAfterFirstPhase << " to " << residentAtEnd << " bytes";
#endif
    EXPECT_EQ(fixture::leftovers(), std::vector<std::string>{});

    std::cout << "soak: " << length.count() << " s, " << tally.totalAnswered() << " replies, resident "
              << residentAfterFirstPhase / 1024 << " -> " << residentAtEnd / 1024 << " KiB, " << descriptors
              << " descriptors, " << threads << " threads\n";

    // The exit request last: answered, then a clean exit with the fans automatic.
    auto client = client::Client::connect(socketPath);
    ASSERT_TRUE(client.has_value());
    const auto terminated = client.value().terminateForUpdate();
    ASSERT_TRUE(terminated.has_value());
    EXPECT_TRUE(terminated.value());
    // In sanitizer builds a report, or a leak found at exit, changes the
    // exit status and leaves its mark in the log.
    EXPECT_EQ(mac.daemon->process().wait(seconds(60)), 0);
    const std::string log = mac.daemon->log();
    const std::size_t report = log.find("Sanitizer");
    EXPECT_EQ(report, std::string::npos) << log.substr(report == std::string::npos ? 0 : report, 2000);
    EXPECT_TRUE(allFansAutomatic(mac));
}

}  // namespace
}  // namespace smcd::soak
