#include "removal/engine_fixture.h"

namespace smcd::test {

void EngineTest::SetUp() {
    if (!inSandbox()) GTEST_SKIP() << "removes files in the macOS tree; runs only inside the test sandbox";
    canaryDir_ = "/private/var/canary";
    // The canary mirrors the victims' names, so a walk that strays into it
    // by path would find something to delete.
    planted.directory(canaryDir_);
    buildTree(canaryDir_ + "/tree", 2, 3);
    planted.file(canaryDir_ + "/file", "canary contents");
    canaryBefore_ = snapshot(canaryDir_);
}

void EngineTest::TearDown() {
    if (!inSandbox()) return;
    EXPECT_EQ(snapshot(canaryDir_), canaryBefore_) << "the canary changed";
}

std::string EngineTest::victim(const std::string& name) {
    const std::string path = std::string(kRoot) + "/" + name;
    planted.directory(path);
    return path;
}

std::string EngineTest::canary(const std::string& name) const { return name.empty() ? canaryDir_ : canaryDir_ + "/" + name; }

}  // namespace smcd::test
