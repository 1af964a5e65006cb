#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <plist/plist.h>

#include "launchd/privileged_launchd.h"
#include "launchd_fixture.h"

namespace smcd::PrivilegedLaunchd {

void PrintTo(const Outcome& outcome, std::ostream* out) {
    if (const auto domain = outcome.domain()) {
        *out << "allowed(" << domain->target() << ")";
    } else {
        *out << "refused(" << rawValue(*outcome.refusal()) << ")";
    }
}

namespace {

using Screening = test::LaunchdSandbox;

const Outcome shape = Outcome::refused(Refusal::shape);
const Outcome unreadable = Outcome::refused(Refusal::unreadable);
const Outcome unsafe = Outcome::refused(Refusal::unsafeOwnership);
const Outcome mismatch = Outcome::refused(Refusal::labelMismatch);

std::string binaryJob(const char* label) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "Label", plist_new_string(label));
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(dict, &bytes, &length);
    std::string document(bytes, length);
    std::free(bytes);
    plist_free(dict);
    return document;
}

TEST(LaunchdVocabulary, DomainTargetsAndRefusalRawValues) {
    EXPECT_EQ(Domain::system().serviceTarget("com.example.job"), "system/com.example.job");
    EXPECT_EQ(Domain::gui(501).serviceTarget("com.example.job"), "gui/501/com.example.job");
    EXPECT_EQ(Domain::gui(4294967295u).target(), "gui/4294967295");
    EXPECT_NE(Domain::gui(501), Domain::gui(502));
    for (const char* raw : {"shape", "appleNamespace", "ownService", "unreadable", "labelMismatch", "unsafeOwnership"}) {
        const auto refusal = refusalFromRawValue(raw);
        ASSERT_TRUE(refusal) << raw;
        EXPECT_EQ(rawValue(*refusal), raw);
    }
    EXPECT_EQ(refusalFromRawValue("Shape"), std::nullopt);
    EXPECT_EQ(refusalFromRawValue(""), std::nullopt);
}

TEST_F(Screening, RefusesByTheFirstFailingCheck) {
    const std::string job = std::string(daemons) + "com.example.job.plist";
    place(job, jobPlist("com.example.job"));
    place(std::string(daemons) + "com.apple.evil.plist", jobPlist("com.apple.evil"));
    place(std::string(daemons) + "com.vornik.smcd.plist", jobPlist("com.vornik.smcd"));
    std::filesystem::create_directories("/Library/LaunchDaemons/sub");
    track("/Library/LaunchDaemons/sub");
    place("/Library/LaunchDaemons/sub/com.example.job.plist", jobPlist("com.example.job"));
    ::symlink(job.c_str(), (std::string(daemons) + "com.example.link.plist").c_str());
    track(std::string(daemons) + "com.example.link.plist");
    std::filesystem::create_directories("/Users/ann/Library/LaunchAgents");
    track("/Users/ann/Library");
    place("/Users/ann/Library/LaunchAgents/com.example.job.plist", jobPlist("com.example.job"), 0644, 501);
    const std::string long255(255, 'a');

    struct Case {
        std::string path;
        std::string label;
        Outcome expected;
    };
    const Case cases[] = {
        {job, "com.apple.evil", Outcome::refused(Refusal::appleNamespace)},
        {job, "COM.Apple.Evil", Outcome::refused(Refusal::appleNamespace)},
        {std::string(daemons) + "com.apple.evil.plist", "com.apple.evil", Outcome::refused(Refusal::appleNamespace)},
        {job, "com.vornik.smcd", Outcome::refused(Refusal::ownService)},
        {job, "com.vornik.smcd.helper", mismatch},
        {job, "COM.VORNIK.SMCD", mismatch},
        {job, "", shape},
        {job, std::string(256, 'a'), shape},
        {job, long255, mismatch},
        {job, "com.example job", shape},
        {job, "com.ex\u00e4mple.job", shape},
        {job, "com/example", shape},
        {"/Library/LaunchDaemons/../LaunchDaemons/com.example.job.plist", "com.example.job", shape},
        {"/Library/LaunchDaemons//com.example.job.plist", "com.example.job", shape},
        {"Library/LaunchDaemons/com.example.job.plist", "com.example.job", shape},
        {"/Library/LaunchDaemons/sub/com.example.job.plist", "com.example.job", shape},
        {"/Users/ann/Library/LaunchAgents/com.example.job.plist", "com.example.job", shape},
        {"/Library/LaunchDaemons/com.example.job.xml", "com.example.job", shape},
        {std::string(daemons) + "com.example.link.plist", "com.example.job", shape},
        {std::string(daemons) + "com.example.missing.plist", "com.example.missing", unreadable},
        {job, "com.example.other", mismatch},
        {job, "com.example.JOB", mismatch},
    };
    for (const auto& c : cases) EXPECT_EQ(resolve(c.path, c.label, 501), c.expected) << c.path << " / " << c.label;
}

TEST_F(Screening, RefusesUnsafeOrUnusableFiles) {
    const std::string d(daemons);
    const std::string limitPadding(maxPlistBytes - jobPlist("exact").size(), ' ');
    place(d + "group.plist", jobPlist("group"), 0664);
    place(d + "other.plist", jobPlist("other"), 0646);
    place(d + "user.plist", jobPlist("user"), 0644, 501);
    place(d + "exact.plist", jobPlist("exact", limitPadding));
    place(d + "over.plist", jobPlist("over", limitPadding + "  "));
    place(d + "nolabel.plist", "<?xml version=\"1.0\"?><plist><dict><key>Program</key><string>x</string></dict></plist>");
    place(d + "number.plist", "<?xml version=\"1.0\"?><plist><dict><key>Label</key><integer>5</integer></dict></plist>");
    place(d + "garbage.plist", "Label = number;");
    place(d + "empty.plist", "");
    place(d + "binary.plist", binaryJob("binary"));
    std::filesystem::create_directories(d + "dir.plist");
    track(d + "dir.plist");
    ::mkfifo((d + "fifo.plist").c_str(), 0644);
    track(d + "fifo.plist");
    ASSERT_EQ(std::filesystem::file_size(d + "exact.plist"), maxPlistBytes);
    ASSERT_EQ(std::filesystem::file_size(d + "over.plist"), maxPlistBytes + 1);

    const std::pair<std::string, Outcome> cases[] = {
        {"group", unsafe},
        {"other", unsafe},
        {"user", unsafe},
        {"exact", Outcome::allowed(Domain::system())},
        {"over", unreadable},
        {"nolabel", unreadable},
        {"number", unreadable},
        {"garbage", unreadable},
        {"empty", unreadable},
        {"binary", Outcome::allowed(Domain::system())},
        {"dir", unreadable},
        {"fifo", unreadable},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(resolve(d + name + ".plist", name, 0), expected) << name;
    }
}

TEST_F(Screening, AgentsRunInTheRequestersSessionAndDaemonsInTheSystem) {
    place(std::string(agents) + "com.example.agent.plist", jobPlist("com.example.agent"));
    place(std::string(daemons) + "com.example.daemon.plist", jobPlist("com.example.daemon"));
    for (const uid_t peer : {0u, 501u, 502u}) {
        EXPECT_EQ(resolve(std::string(agents) + "com.example.agent.plist", "com.example.agent", peer),
                  Outcome::allowed(Domain::gui(peer)));
        EXPECT_EQ(resolve(std::string(daemons) + "com.example.daemon.plist", "com.example.daemon", peer),
                  Outcome::allowed(Domain::system()));
    }
}

}  // namespace
}  // namespace smcd::PrivilegedLaunchd
