// Runs as root inside the test sandbox, whose user database knows ann.

#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/credentials/acting_as.h"
#include "platform/credentials/user_account.h"
#include "support/sandbox.h"

namespace smcd::test {
namespace {

using platform::ActingAs;

// The calling thread's ids and groups as the kernel reports them.
std::string credentialsOfThisThread() {
    std::ifstream status("/proc/thread-self/status");
    std::string line, found;
    while (std::getline(status, line))
        if (line.starts_with("Uid:") || line.starts_with("Gid:") || line.starts_with("Groups:")) found += line + "\n";
    return found;
}

class ActingAsTest : public SandboxTest {};

// While one thread acts as ann, every other thread keeps the daemon's
// identity, its groups too (glibc's setgroups would change every thread's),
// and the acting thread gets its own back however its scope ends. What the
// kernel then lets the thread do is the Trash's suite's to show.
TEST_F(ActingAsTest, OnlyTheCallingThreadActsAsTheUserAndAlwaysGetsItsOwnIdentityBack) {
    const auto ann = platform::accountOf(501);
    ASSERT_TRUE(ann);
    const std::string own = credentialsOfThisThread();
    std::promise<void> acting, checked;
    std::thread peer([&] {
        {
            const ActingAs as(ann->identity);
            EXPECT_EQ(as.failure(), 0);
            EXPECT_NE(credentialsOfThisThread(), own);
            acting.set_value();
            checked.get_future().wait();
        }
        EXPECT_EQ(credentialsOfThisThread(), own);
        try {
            const ActingAs as(ann->identity);
            throw std::runtime_error("failed while acting");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(credentialsOfThisThread(), own);
    });
    acting.get_future().wait();
    EXPECT_EQ(credentialsOfThisThread(), own);
    checked.set_value();
    peer.join();
}

}  // namespace
}  // namespace smcd::test
