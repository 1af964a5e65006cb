#include <gtest/gtest.h>

#include <string>

#include "launchd/launchd_shape.h"
#include "removal/planted_files.h"

namespace smcd::launchd {
namespace {

// Plants files in the macOS tree.
struct LaunchdShape : test::SandboxTest {
    test::PlantedFiles planted;
};

TEST(LaunchdLabel, AcceptsOnlyTheAlphabetUpTo255Characters) {
    EXPECT_TRUE(isValidLaunchdLabel("A-Z_a-z.0-9" + std::string(244, 'a')));
    for (const std::string& bad : {std::string(256, 'a'), std::string(""), std::string("com/example"), std::string("com.example job"),
                                   std::string("com.caf\xC3\xA9"), std::string("com.example\0x", 13)})
        EXPECT_FALSE(isValidLaunchdLabel(bad)) << bad;
}

TEST_F(LaunchdShape, LaunchdPlistsLieDirectlyInAServiceFolderThatIsNoLink) {
    // Missing is left to the ownership step; the rest of the shape (a user's
    // agents, "..", labels) is proven through the launchd screening.
    for (const char* folder : {"/Library/LaunchDaemons/", "/Library/LaunchAgents/"})
        EXPECT_TRUE(acceptsLaunchdPlist(folder + std::string("com.example.job.plist"), "com.example.job"));
    for (const char* path : {"/Library/LaunchDaemons/com.example.job.plist/", "/Library/LaunchDaemons/com.example.job.PLIST",
                             "/Library/Preferences/com.example.job.plist", "/Library/LaunchDaemons/sub/com.example.job.plist"})
        EXPECT_FALSE(acceptsLaunchdPlist(path, "com.example.job")) << path;
    planted.moveAsideUntilEnd("/Library/LaunchAgents");
    planted.link("/Library/Caches", "/Library/LaunchAgents");
    EXPECT_FALSE(acceptsLaunchdPlist("/Library/LaunchAgents/com.example.job.plist", "com.example.job"));
}

}  // namespace
}  // namespace smcd::launchd
