#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace smcd::test {

// Property lists placed in the sandbox's launchd directories, removed again
// after each test.
class LaunchdSandbox : public ::testing::Test {
protected:
    static constexpr std::string_view daemons = "/Library/LaunchDaemons/";
    static constexpr std::string_view agents = "/Library/LaunchAgents/";

    void SetUp() override;
    void TearDown() override;

    // Writes `contents` at `path` with the given mode and owner.
    std::string place(const std::string& path, const std::string& contents, mode_t mode = 0644, uid_t uid = 0);
    // Removes `path` (with anything below it) after the test.
    void track(const std::string& path) { placed_.push_back(path); }
    // An XML job description naming `label`.
    static std::string jobPlist(std::string_view label, std::string_view padding = {});

private:
    std::vector<std::string> placed_;
};

}  // namespace smcd::test
