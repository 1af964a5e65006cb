#include <plist/plist.h>

#include "launchd/launchd_shape.h"
#include "launchd/privileged_launchd.h"
#include "launchd_fixture.h"
#include "removal/planted_files.h"

namespace smcd::launchd {

void PrintTo(const Outcome& outcome, std::ostream* out) {
    *out << (outcome ? "allowed(" + outcome->target() : "refused(" + std::string(rawValue(outcome.error()))) << ")";
}

namespace {

using Screening = test::LaunchdSandbox;

const Outcome shape = Outcome(unexpected(Refusal::shape));
const Outcome unreadable = Outcome(unexpected(Refusal::unreadable));
const Outcome unsafe = Outcome(unexpected(Refusal::unsafeOwnership));
const Outcome mismatch = Outcome(unexpected(Refusal::labelMismatch));
const Outcome system = Outcome(Domain::system());

// The binary form as the platform writes it; `root` is consumed.
std::string binaryPlist(plist_t root) {
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string document(bytes, length);
    std::free(bytes);
    plist_free(root);
    return document;
}

TEST_F(Screening, RefusesByTheFirstFailingCheck) {
    const std::string job = daemons + "com.example.job.plist";
    place(job, jobPlist("com.example.job"));
    place(daemons + "com.apple.evil.plist", jobPlist("com.apple.evil"));
    ::symlink(job.c_str(), (daemons + "com.example.link.plist").c_str());
    track(daemons + "com.example.link.plist");
    std::filesystem::create_directories("/Users/ann/Library/LaunchAgents");
    track("/Users/ann/Library");
    place("/Users/ann/Library/LaunchAgents/com.example.job.plist", jobPlist("com.example.job"), 0644, 501);

    const std::tuple<std::string, std::string, Outcome> cases[] = {
        {job, "com.apple.evil", Outcome(unexpected(Refusal::appleNamespace))},
        {job, "COM.Apple.Evil", Outcome(unexpected(Refusal::appleNamespace))},
        {daemons + "com.apple.evil.plist", "com.apple.evil", Outcome(unexpected(Refusal::appleNamespace))},
        {job, "com.vornik.smcd", Outcome(unexpected(Refusal::ownService))},
        {job, "com.vornik.smcd.helper", mismatch}, {job, "COM.VORNIK.SMCD", mismatch},
        {job, "", shape}, {job, std::string(256, 'a'), shape}, {job, std::string(255, 'a'), mismatch},
        {job, "com.example job", shape}, {job, "com.ex\u00e4mple.job", shape},
        {"/Library/LaunchDaemons/../LaunchDaemons/com.example.job.plist", "com.example.job", shape},
        {"/Library/LaunchDaemons//com.example.job.plist", "com.example.job", shape},
        {"Library/LaunchDaemons/com.example.job.plist", "com.example.job", shape},
        {"/Users/ann/Library/LaunchAgents/com.example.job.plist", "com.example.job", shape},
        {daemons + "com.example.job.xml", "com.example.job", shape}, {daemons + "com.example.link.plist", "com.example.job", shape},
        {daemons + "com.example.missing.plist", "com.example.missing", unreadable},
        {job, "com.example.other", mismatch}, {job, "com.example.JOB", mismatch}, {job, "com.example.job", system},
    };
    for (const auto& [path, label, expected] : cases) EXPECT_EQ(resolve(path, label, 501), expected) << path << " " << label;
}

TEST_F(Screening, ReadsOnlySafeRegularFilesUpToOneMebibyte) {
    const std::string limitPadding(1048576 - jobPlist("exact").size(), ' ');
    plist_t binary = plist_new_dict();
    plist_dict_set_item(binary, "Label", plist_new_string("binary"));
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("array"));
    const std::pair<std::string, std::string> files[] = {
        {"exact", jobPlist("exact", limitPadding)},
        {"over", jobPlist("over", limitPadding + "  ")},
        {"binary", binaryPlist(binary)},
        {"array", binaryPlist(array)},
        {"nolabel", "<?xml version=\"1.0\"?><plist><dict><key>Program</key><string>x</string></dict></plist>"},
        {"number", "<?xml version=\"1.0\"?><plist><dict><key>Label</key><integer>5</integer></dict></plist>"},
        {"garbage", "Label = garbage;"},
        {"empty", ""},
    };
    for (const auto& [name, contents] : files) place(daemons + name + ".plist", contents);
    place(daemons + "group.plist", jobPlist("group"), 0664);
    place(daemons + "other.plist", jobPlist("other"), 0646);
    place(daemons + "user.plist", jobPlist("user"), 0644, 501);
    std::filesystem::create_directories(daemons + "dir.plist");
    track(daemons + "dir.plist");
    ::mkfifo((daemons + "fifo.plist").c_str(), 0644);
    track(daemons + "fifo.plist");
    ASSERT_EQ(std::filesystem::file_size(daemons + "over.plist"), 1048577u);

    const std::pair<std::string, Outcome> cases[] = {
        {"exact", system}, {"over", unreadable}, {"binary", system}, {"array", unreadable}, {"nolabel", unreadable},
        {"number", unreadable}, {"garbage", unreadable}, {"empty", unreadable}, {"group", unsafe}, {"other", unsafe},
        {"user", unsafe}, {"dir", unreadable}, {"fifo", unreadable},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(resolve(daemons + name + ".plist", name, 0), expected) << name;

    // A link swapped in after the status checks is not read through.
    ASSERT_EQ(::symlink("exact.plist", (daemons + "link.plist").c_str()), 0);
    track(daemons + "link.plist");
    EXPECT_EQ(plistLabel(daemons + "exact.plist"), "exact");
    EXPECT_EQ(plistLabel(daemons + "link.plist"), std::nullopt);
}

// The shape alone, on files it plants in the macOS tree.
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
    // agents, "..", labels) is proven through the screening above.
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
