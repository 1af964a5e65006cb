#pragma once

// Suites that touch the macOS-like tree or the compiled-in /var/run paths
// run only inside tests/sandbox/run-in-sandbox.sh, which sets the flag.

#include <cstdlib>
#include <string_view>

#include <gtest/gtest.h>

namespace smcd::test {

inline bool inSandbox() {
    const char* flag = std::getenv("SMCD_IN_SANDBOX");
    return flag != nullptr && std::string_view(flag) == "1";
}

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!inSandbox()) GTEST_SKIP() << "runs only inside the test sandbox";
    }
};

}  // namespace smcd::test
