#include "launchd_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/temp_dir.h"

namespace smcd::test {

void LaunchdSandbox::SetUp() {
    if (!std::getenv("SMCD_IN_SANDBOX")) GTEST_SKIP() << "needs the test sandbox";
}

void LaunchdSandbox::TearDown() {
    for (const auto& path : placed_) std::filesystem::remove_all(path);
}

std::string LaunchdSandbox::place(const std::string& path, const std::string& contents, mode_t mode, uid_t uid) {
    writeFile(path, contents, mode);
    ::chmod(path.c_str(), mode);  // past the umask
    EXPECT_EQ(::chown(path.c_str(), uid, 0), 0);
    placed_.push_back(path);
    return path;
}

std::string LaunchdSandbox::jobPlist(std::string_view label, std::string_view padding) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>Label</key><string>";
    xml += label;
    xml += "</string>\n<key>Program</key><string>/usr/local/libexec/job</string>\n</dict>\n</plist>\n";
    xml += padding;
    return xml;
}

}  // namespace smcd::test
