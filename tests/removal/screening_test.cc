#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/path/standardized_path.h"
#include "removal/planted_files.h"
#include "removal/privileged_removal.h"
#include "support/temp_dir.h"

namespace smcd::PrivilegedRemoval {
namespace {

constexpr uid_t kRoot = 0;
constexpr uid_t kAnn = 501;
constexpr uid_t kBob = 502;
constexpr Target kAllTargets[] = {Target::appBundle,  Target::supportFile,     Target::systemCache,
                                  Target::systemLogs, Target::gpuShaderCaches, Target::rosettaCaches};

const std::string kComposed = "caf\xC3\xA9";
const std::string kDecomposed = "cafe\xCC\x81";

class Screening : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::inSandbox()) GTEST_SKIP() << "plants files in the macOS tree; runs only inside the test sandbox";
    }
    test::PlantedFiles planted;
};

// Paths each family (or measurement) accepts, and their spellings that are
// not in standard form or not text: every one of the latter is refused.
struct LexicalCase {
    std::string acceptedSpelling;
    Target target;
    std::vector<std::string> refusedSpellings;
};

TEST_F(Screening, RefusesEveryNonStandardSpellingForEveryFamily) {
    planted.directory("/Applications/Some.app");
    planted.directory("/Users/ann/Applications/Some.app");
    const LexicalCase cases[] = {
        {"/Applications/Some.app",
         Target::appBundle,
         {"Applications/Some.app", "/Applications/Some.app/", "//Applications/Some.app", "/Applications//Some.app",
          "/Applications/./Some.app", "/Applications/Utilities/../Some.app", "~/../../Applications/Some.app"}},
        {"/Users/ann/Applications/Some.app",
         Target::appBundle,
         {"~ann/Applications/Some.app", "/Users/ann/Applications/Some.app/."}},
        {"/Library/Caches/com.example",
         Target::supportFile,
         {"Library/Caches/com.example", "/Library/Caches/com.example/", "/Library/Caches//com.example",
          "/Library/Caches/./com.example", "/Library/Caches/x/../com.example", "~/com.example",
          std::string("/Library/Caches/com.example\0/etc", 32), "/Library/Caches/com.\xFF\x65xample"}},
        {"/var/folders/ab/xyz/C/x",
         Target::systemCache,
         {"var/folders/ab/xyz/C/x", "/var/folders/ab/xyz/C/x/", "/var/folders/ab//xyz/C/x", "/var/folders/ab/./xyz/C/x",
          "/var/folders/ab/xyz/C/x/..", "/var/../var/folders/ab/xyz/C/x", "/var/folders/ab/xyz/C/x\xC3"}},
        {"/var/log/system.log",
         Target::systemLogs,
         {"/var/log/system.log/", "/var/log/./system.log", "/var/log/../log/system.log", "/private/var/log/../log/x"}},
        {"/var/folders/ab/xyz/C/com.apple.metal",
         Target::gpuShaderCaches,
         {"/var/folders/ab/xyz/C/com.apple.metal/", "/var/folders/ab/xyz/C/./com.apple.metal",
          "/var/folders/ab/xyz/C/x/../com.apple.metal"}},
        {"/Library/Apple/usr/share/rosetta/rosetta_update_bundle/x",
         Target::rosettaCaches,
         {"/Library/Apple/usr/share/rosetta/rosetta_update_bundle/x/", "/Library/Apple/usr//share/rosetta/rosetta_update_bundle/x",
          "/Library/Apple/usr/share/rosetta/rosetta_update_bundle/../rosetta_update_bundle/x"}},
    };
    for (const LexicalCase& c : cases) {
        EXPECT_TRUE(isCanonicalAbsolute(c.acceptedSpelling)) << c.acceptedSpelling;
        EXPECT_TRUE(accepts(c.acceptedSpelling, c.target, kAnn)) << c.acceptedSpelling;
        for (const std::string& refused : c.refusedSpellings) {
            EXPECT_FALSE(isCanonicalAbsolute(refused)) << refused;
            for (Target target : kAllTargets) EXPECT_FALSE(accepts(refused, target, kAnn)) << refused;
            EXPECT_FALSE(acceptsMeasurement(refused, kAnn)) << refused;
        }
    }
    for (const char* refused : {"", "~", "/Users/", "/var/log/", "Users", "/Users/./ann", "/Library/Caches/."})
        EXPECT_FALSE(acceptsMeasurement(refused, kAnn)) << refused;
    // "~" is only special at the very start.
    EXPECT_TRUE(isCanonicalAbsolute("/Library/Caches/~"));
    EXPECT_TRUE(isCanonicalAbsolute("/"));
}

TEST_F(Screening, PrivateSpellingsPassTheLexicalCheckWhetherOrNotTheItemExists) {
    const std::string receipt = "/private/var/db/receipts/com.example.bom";
    EXPECT_TRUE(isCanonicalAbsolute(receipt));
    EXPECT_TRUE(accepts(receipt, Target::supportFile, kAnn));
    planted.file(receipt);
    // Now standardization drops "/private", and the spelling still passes.
    EXPECT_EQ(platform::standardizingPath(receipt), "/var/db/receipts/com.example.bom");
    EXPECT_TRUE(isCanonicalAbsolute(receipt));
    EXPECT_TRUE(accepts(receipt, Target::supportFile, kAnn));
    EXPECT_FALSE(accepts("/var/db/receipts/com.example.bom", Target::supportFile, kAnn));
    // "/private" before a path of another family passes the lexical check
    // but no family rule.
    planted.directory("/var/folders/ab/xyz/C/x");
    EXPECT_TRUE(isCanonicalAbsolute("/private/var/folders/ab/xyz/C/x"));
    EXPECT_FALSE(accepts("/private/var/folders/ab/xyz/C/x", Target::systemCache, kAnn));
    EXPECT_FALSE(isCanonicalAbsolute("/private/"));
    EXPECT_TRUE(isCanonicalAbsolute("/private"));
}

TEST_F(Screening, RefusesALinkAsLeafOrAsAncestorButNotTheSystemAliases) {
    planted.directory("/Library/Caches/real/inner");
    planted.link("/Library/Caches/real", "/Library/Caches/leaf-link");
    planted.link("/nowhere", "/Library/Caches/dangling");
    planted.link("/Library/Caches/real", "/Library/Caches/x");
    for (const char* path : {"/Library/Caches/leaf-link", "/Library/Caches/dangling"}) {
        EXPECT_TRUE(isSymbolicLinkLeaf(path));
        EXPECT_FALSE(accepts(path, Target::systemCache, kAnn)) << path;
        EXPECT_FALSE(acceptsMeasurement(path, kAnn)) << path;
    }
    EXPECT_TRUE(hasLinkedAncestor("/Library/Caches/x/inner"));
    EXPECT_TRUE(hasLinkedAncestor("/Library/Caches/x/missing/deeper"));
    EXPECT_FALSE(accepts("/Library/Caches/x/inner", Target::systemCache, kAnn));
    EXPECT_FALSE(acceptsMeasurement("/Library/Caches/x/inner", kAnn));
    EXPECT_TRUE(accepts("/Library/Caches/real/inner", Target::systemCache, kAnn));
    // The leaf itself is not its own ancestor.
    EXPECT_FALSE(hasLinkedAncestor("/Library/Caches/x"));

    // /var, /tmp and /etc are links in this tree, and are skipped by name.
    EXPECT_TRUE(isSymbolicLinkLeaf("/var"));
    EXPECT_FALSE(hasLinkedAncestor("/var/folders/ab/xyz/C/x"));
    EXPECT_FALSE(hasLinkedAncestor("/tmp/a/b"));
    EXPECT_FALSE(hasLinkedAncestor("/etc/a/b"));
    EXPECT_TRUE(accepts("/var/folders/ab/xyz/C/x", Target::systemCache, kAnn));
    // Anything else below them is examined like any other ancestor.
    planted.directory("/private/var/folders/real");
    planted.link("/private/var/folders/real", "/private/var/folders/zz");
    EXPECT_TRUE(hasLinkedAncestor("/var/folders/zz/xyz/C/x"));
    EXPECT_TRUE(hasLinkedAncestor("/private/var/folders/zz/x"));
    EXPECT_FALSE(accepts("/var/folders/zz/xyz/C/x", Target::systemCache, kAnn));
    // A link at a whole root refuses everything below it.
    planted.moveAsideUntilEnd("/Library/Logs");
    planted.directory("/Library/elsewhere");
    planted.link("/Library/elsewhere", "/Library/Logs");
    EXPECT_FALSE(accepts("/Library/Logs/x", Target::systemLogs, kAnn));
    EXPECT_FALSE(accepts("/Library/Logs/x", Target::supportFile, kAnn));
}

TEST_F(Screening, HomeItemsNeedAHomeOwnedByThePeer) {
    const std::string item = "/Users/ann/Library/Caches/com.example";
    EXPECT_EQ(homeOwner(item), kAnn);
    EXPECT_TRUE(accepts(item, Target::supportFile, kAnn));
    EXPECT_FALSE(accepts(item, Target::supportFile, kBob));
    EXPECT_FALSE(accepts(item, Target::supportFile, kRoot));
    // Root's shared folder serves only a root peer.
    EXPECT_EQ(homeOwner("/Users/Shared/Library/Caches/x/y"), kRoot);
    EXPECT_TRUE(accepts("/Users/Shared/Library/Caches/x/y", Target::supportFile, kRoot));
    EXPECT_FALSE(accepts("/Users/Shared/Library/Caches/x/y", Target::supportFile, kAnn));
    // Outside any home the peer does not matter.
    for (uid_t peer : {kRoot, kAnn, kBob, uid_t{4242}})
        EXPECT_TRUE(accepts("/Library/Caches/com.example", Target::supportFile, peer));
    // "/Users" itself is nobody's home.
    EXPECT_EQ(homeOwner("/Users"), std::nullopt);
    EXPECT_FALSE(isScopedToPeer("/Users", kRoot));
    EXPECT_TRUE(isScopedToPeer("/Library/Users/x", kAnn));
    EXPECT_TRUE(isScopedToPeer("Users/x/y", kAnn));
    // A missing home.
    EXPECT_EQ(homeOwner("/Users/carol/Library/Caches/x"), std::nullopt);
    EXPECT_FALSE(accepts("/Users/carol/Library/Caches/x", Target::supportFile, kAnn));
    // A home that is a file.
    planted.file("/Users/file-home");
    EXPECT_EQ(homeOwner("/Users/file-home/Library/Caches/x"), std::nullopt);
    EXPECT_FALSE(isScopedToPeer("/Users/file-home/Library/Caches/x", kRoot));
}

TEST_F(Screening, AHomeThatIsALinkOrHasChangedHandsIsRefused) {
    planted.link("/Users/ann", "/Users/alias");
    EXPECT_EQ(homeOwner("/Users/alias/Library/Caches/x"), std::nullopt);
    EXPECT_FALSE(isScopedToPeer("/Users/alias/Library/Caches/x", kAnn));
    EXPECT_FALSE(accepts("/Users/alias/Library/Caches/x", Target::supportFile, kAnn));
    EXPECT_FALSE(acceptsMeasurement("/Users/alias/Library", kAnn));

    planted.chownUntilEnd("/Users/ann", kBob, 20);
    EXPECT_FALSE(accepts("/Users/ann/Library/Caches/x", Target::supportFile, kAnn));
    EXPECT_TRUE(accepts("/Users/ann/Library/Caches/x", Target::supportFile, kBob));
    EXPECT_FALSE(acceptsMeasurement("/Users/ann/Library", kAnn));
    EXPECT_TRUE(acceptsMeasurement("/Users/ann", kAnn));
}

TEST_F(Screening, MeasurementAcceptsRootsThemselvesAndHomesForAnyone) {
    for (const char* root : {"/Users", "/var/log", "/Library/Caches", "/System/Library/Caches", "/var/folders"})
        EXPECT_TRUE(acceptsMeasurement(root, kAnn)) << root;
    EXPECT_TRUE(acceptsMeasurement("/Users/bob", kAnn));
    EXPECT_FALSE(acceptsMeasurement("/Users/bob/Documents", kAnn));
    EXPECT_TRUE(acceptsMeasurement("/Users/bob/Documents", kBob));
    EXPECT_TRUE(acceptsMeasurement("/Users/nobody-here", kAnn));
    EXPECT_FALSE(acceptsMeasurement("/Users/nobody-here/x", kAnn));
    for (const char* outside : {"/", "/Library", "/Library/Logs", "/var/db", "/Applications", "/Usersx"})
        EXPECT_FALSE(acceptsMeasurement(outside, kRoot)) << outside;
}

TEST_F(Screening, ScreeningKeepsFirstOccurrencesInRequestOrderAndTheClientsBytes) {
    const std::vector<std::string> request{
        "/Library/Caches/b",       "/etc/passwd",         "/Library/Caches/a",         "/Library/Caches/b",
        "/etc/passwd",             "/Library/Caches/" + kDecomposed, "/Library/Caches/" + kComposed,
        "/Library/Caches/a/",      "/Users/bob/Library/Caches/x/y",
    };
    const Verdict verdict = screen(request, Target::systemCache, kAnn);
    EXPECT_EQ(verdict.allowed,
              (std::vector<std::string>{"/Library/Caches/b", "/Library/Caches/a", "/Library/Caches/" + kDecomposed}));
    EXPECT_EQ(verdict.refused,
              (std::vector<std::string>{"/etc/passwd", "/Library/Caches/a/", "/Users/bob/Library/Caches/x/y"}));
    EXPECT_EQ(screen({}, Target::systemCache, kAnn), Verdict{});
    // The same refused path twice is reported once, where it first appeared.
    EXPECT_EQ(screen({"/x", "/Library/Caches/q", "/x"}, Target::systemCache, kAnn),
              (Verdict{{"/Library/Caches/q"}, {"/x"}}));
    // Without the peer rule another user's Library item passes.
    EXPECT_EQ(screen({"/Users/bob/Library/Caches/x", "/Users/bob/Library"}, Target::supportFile),
              (Verdict{{"/Users/bob/Library/Caches/x"}, {"/Users/bob/Library"}}));
}

TEST_F(Screening, TheResolvedCheckFollowsThePathToWhereItIsNow) {
    planted.directory("/var/folders/ab/xyz/C/x");
    EXPECT_EQ(resolved("/var/folders/ab/xyz/C/x"), "/private/var/folders/ab/xyz/C/x");
    EXPECT_TRUE(acceptsResolved("/var/folders/ab/xyz/C/x", Target::systemCache, kAnn));
    EXPECT_TRUE(acceptsResolved("/var/folders/ab/xyz/C/x", Target::systemCache));

    planted.file("/Library/Caches/kept");
    EXPECT_TRUE(acceptsResolved("/Library/Caches/kept", Target::systemCache, kAnn));
    // Deleted since screening: nothing to resolve.
    planted.file("/Library/Caches/gone");
    ASSERT_EQ(::unlink("/Library/Caches/gone"), 0);
    EXPECT_TRUE(accepts("/Library/Caches/gone", Target::systemCache, kAnn));
    EXPECT_FALSE(acceptsResolved("/Library/Caches/gone", Target::systemCache, kAnn));
    EXPECT_EQ(resolved("/Library/Caches/gone"), std::nullopt);

    // A parent swapped for a link to a place outside the family's roots.
    planted.directory("/Library/Caches/swapped/item");
    EXPECT_TRUE(acceptsResolved("/Library/Caches/swapped/item", Target::systemCache, kAnn));
    planted.directory("/private/etc/victim/item");
    planted.moveAsideUntilEnd("/Library/Caches/swapped");
    planted.link("/private/etc/victim", "/Library/Caches/swapped");
    EXPECT_FALSE(acceptsResolved("/Library/Caches/swapped/item", Target::systemCache, kAnn));

    // A home item resolved for the wrong peer.
    planted.directory("/Users/ann/Library/Caches/y");
    EXPECT_TRUE(acceptsResolved("/Users/ann/Library/Caches/y", Target::supportFile, kAnn));
    EXPECT_FALSE(acceptsResolved("/Users/ann/Library/Caches/y", Target::supportFile, kBob));
    EXPECT_TRUE(acceptsResolved("/Users/ann/Library/Caches/y", Target::supportFile));
    EXPECT_EQ(resolved(std::string("/Users\0/ann", 11)), std::nullopt);
}

TEST_F(Screening, TheResolvedCheckRefusesAPathThatNowResolvesOutsideTheFamily) {
    // "/var" is skipped by the ancestor check by name, so only the resolved
    // form shows where a path below it really lands.
    planted.directory("/Library/Caches/fakevar/log");
    planted.file("/Library/Caches/fakevar/log/system.log");
    planted.moveAsideUntilEnd("/var");
    planted.link("/Library/Caches/fakevar", "/var");
    EXPECT_TRUE(accepts("/var/log/system.log", Target::systemLogs, kAnn));
    EXPECT_EQ(resolved("/var/log/system.log"), "/Library/Caches/fakevar/log/system.log");
    EXPECT_FALSE(acceptsResolved("/var/log/system.log", Target::systemLogs, kAnn));
    EXPECT_FALSE(acceptsResolved("/var/log/system.log", Target::systemLogs));
}

TEST_F(Screening, LaunchdPlistShape) {
    const std::string daemon = "/Library/LaunchDaemons/com.example.job.plist";
    EXPECT_TRUE(acceptsLaunchdPlist(daemon, "com.example.job"));
    EXPECT_TRUE(acceptsLaunchdPlist("/Library/LaunchAgents/com.example.job.plist", "com.example.job"));
    planted.file(daemon);
    EXPECT_TRUE(acceptsLaunchdPlist(daemon, "com.example.job"));
    EXPECT_FALSE(acceptsLaunchdPlist(daemon, "com.example job"));
    EXPECT_FALSE(acceptsLaunchdPlist(daemon, ""));
    EXPECT_FALSE(acceptsLaunchdPlist(daemon, std::string(256, 'a')));
    EXPECT_TRUE(acceptsLaunchdPlist(daemon, std::string(255, 'a')));
    for (const char* path : {
             "/Library/LaunchDaemons/sub/com.example.job.plist",
             "/Library/LaunchDaemons/../LaunchDaemons/com.example.job.plist",
             "/Library/LaunchDaemons//com.example.job.plist",
             "/Users/ann/Library/LaunchAgents/com.example.job.plist",
             "/Library/LaunchDaemons/com.example.job.plist/",
             "/Library/LaunchDaemons/com.example.job",
             "/Library/LaunchDaemons/com.example.job.PLIST",
             "Library/LaunchDaemons/com.example.job.plist",
             "/Library/Preferences/com.example.job.plist",
             "/Library/LaunchDaemons",
         })
        EXPECT_FALSE(acceptsLaunchdPlist(path, "com.example.job")) << path;

    planted.link(daemon, "/Library/LaunchDaemons/linked.plist");
    EXPECT_FALSE(acceptsLaunchdPlist("/Library/LaunchDaemons/linked.plist", "com.example.job"));
    planted.moveAsideUntilEnd("/Library/LaunchAgents");
    planted.directory("/Library/elsewhere-agents");
    planted.link("/Library/elsewhere-agents", "/Library/LaunchAgents");
    EXPECT_FALSE(acceptsLaunchdPlist("/Library/LaunchAgents/com.example.job.plist", "com.example.job"));
}

}  // namespace
}  // namespace smcd::PrivilegedRemoval
