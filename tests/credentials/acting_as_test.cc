// Runs as root inside the test sandbox, whose user database knows ann (501,
// of staff 20 and a member of everyone 12).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "platform/credentials/acting_as.h"
#include "platform/credentials/user_account.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

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

bool canOpen(const std::string& path) { return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)).valid(); }

class ActingAsTest : public SandboxTest {};

// While one thread acts as ann, the kernel checks that thread's file access
// as hers, with her groups and none of root's, and every other thread keeps
// the daemon's; the thread gets its own back however the scope ends.
TEST_F(ActingAsTest, OnlyTheCallingThreadActsAsTheUserAndAlwaysGetsItsOwnIdentityBack) {
    const auto ann = platform::accountOf(501);
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->home, "/Users/ann");
    EXPECT_EQ(ann->identity.group, 20u);
    EXPECT_EQ(ann->identity.groups, (std::vector<gid_t>{20, 12}));
    EXPECT_FALSE(platform::accountOf(503));

    TempDir work;
    ASSERT_EQ(::chmod(work.path().c_str(), 01777), 0);
    // (file, its group; readable to its owner root and that group only)
    for (const auto& [name, group] : {std::pair{"root-only", 0}, std::pair{"everyones", 12}}) {
        writeFile(work / name, "data", 0640);
        ASSERT_EQ(::chown((work / name).c_str(), 0, group), 0);
    }
    const std::string own = credentialsOfThisThread();
    std::promise<void> acting, checked;
    std::thread peer([&] {
        {
            const ActingAs as(ann->identity);
            EXPECT_EQ(as.failure(), 0);
            EXPECT_NE(credentialsOfThisThread(), own);
            EXPECT_FALSE(canOpen(work / "root-only"));
            EXPECT_TRUE(canOpen(work / "everyones"));
            writeFile(work / "hers", "made as ann");
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
    EXPECT_TRUE(canOpen(work / "root-only"));
    checked.set_value();
    peer.join();
    struct stat made{};
    ASSERT_EQ(::stat((work / "hers").c_str(), &made), 0);
    EXPECT_EQ(made.st_uid, 501u);
    EXPECT_EQ(made.st_gid, 20u);
}

}  // namespace
}  // namespace smcd::test
