#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace smcd::test {

// Property lists placed in the sandbox's launchd directories for one test.
class LaunchdSandbox : public SandboxTest {
protected:
    const std::string daemons = "/Library/LaunchDaemons/";
    const std::string agents = "/Library/LaunchAgents/";

    void TearDown() override {
        for (const auto& path : placed_) std::filesystem::remove_all(path);
    }
    void place(const std::string& path, const std::string& contents, mode_t mode = 0644, uid_t uid = 0) {
        writeFile(path, contents, mode);  // the mode as given, past the umask
        EXPECT_EQ(::chown(path.c_str(), uid, 0), 0);
        track(path);
    }
    void track(const std::string& path) { placed_.push_back(path); }

    static std::string jobPlist(const std::string& label, const std::string& padding = {}) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>Label</key><string>" +
               label + "</string>\n<key>Program</key><string>/usr/local/libexec/job</string>\n</dict>\n</plist>\n" +
               padding;
    }

private:
    std::vector<std::string> placed_;
};

}  // namespace smcd::test
