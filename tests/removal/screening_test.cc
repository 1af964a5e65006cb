#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include "common/limits.h"
#include "common/unicode.h"
#include "platform/path/standardized_path.h"
#include "removal/planted_files.h"
#include "removal/measurement.h"
#include "removal/screening.h"

namespace smcd::removal {
namespace {

constexpr uid_t kRoot = 0, kAnn = 501, kBob = 502;
constexpr Target kAllTargets[] = {Target::appBundle,  Target::supportFile,     Target::systemCache,
                                  Target::systemLogs, Target::gpuShaderCaches, Target::rosettaCaches};

class Screening : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::inSandbox()) GTEST_SKIP() << "plants files in the macOS tree; runs only inside the test sandbox";
    }
    test::PlantedFiles planted;
};

TEST_F(Screening, RefusesEveryNonStandardSpellingForEveryFamily) {
    planted.directory("/Applications/Some.app");
    planted.directory("/var/folders/ab/xyz/C/x");
    // Each family accepts its first path; spellings of accepted paths that
    // are not in standard form or not text are refused everywhere.
    const std::pair<std::string, Target> accepted[] = {
        {"/Applications/Some.app", Target::appBundle}, {"/Library/Caches/com.example", Target::supportFile},
        {"/var/folders/ab/xyz/C/x", Target::systemCache}, {"/var/log/system.log", Target::systemLogs},
        {"/var/folders/ab/xyz/C/com.apple.metal", Target::gpuShaderCaches},
        {"/Library/Apple/usr/share/rosetta/rosetta_update_bundle/x", Target::rosettaCaches}};
    for (const auto& [path, target] : accepted) EXPECT_TRUE(accepts(path, target, kAnn)) << path;
    const std::string refusedSpellings[] = {
        "Applications/Some.app", "/Applications/Some.app/", "//Applications/Some.app", "/Applications/./Some.app",
        "/Applications/Utilities/../Some.app", "~/../../Applications/Some.app", "/Applications/Some.app/.",
        "/Library/Caches//com.example", "~/com.example", std::string("/Library/Caches/com.example\0/etc", 32),
        "/Library/Caches/com.\xFF\x65xample", "/var/folders/ab/xyz/C/x/..", "/var/../var/folders/ab/xyz/C/x",
        "/var/folders/ab/xyz/C/x\xC3", "/private/var/log/../log/x", "/var/folders/ab/xyz/C/com.apple.metal/",
        "/Library/Apple/usr//share/rosetta/rosetta_update_bundle/x", "", "~", "/Users/", "Users", "/Users/./ann"};
    for (const std::string& refused : refusedSpellings) {
        EXPECT_FALSE(isCanonicalAbsolute(refused)) << refused;
        for (Target any : kAllTargets) EXPECT_FALSE(accepts(refused, any, kAnn)) << refused;
        EXPECT_FALSE(acceptsMeasurement(refused, kAnn)) << refused;
    }
}

TEST_F(Screening, PrivateSpellingsPassTheLexicalCheckWhetherOrNotTheItemExists) {
    const std::string receipt = "/private/var/db/receipts/com.example.bom";
    EXPECT_TRUE(accepts(receipt, Target::supportFile, kAnn));
    planted.file(receipt);
    EXPECT_EQ(platform::standardizingPath(receipt), "/var/db/receipts/com.example.bom");
    EXPECT_TRUE(accepts(receipt, Target::supportFile, kAnn));
    // "/private" before another family's path passes the lexical check only.
    planted.directory("/var/folders/ab/xyz/C/x");
    EXPECT_TRUE(isCanonicalAbsolute("/private/var/folders/ab/xyz/C/x"));
    EXPECT_FALSE(accepts("/private/var/folders/ab/xyz/C/x", Target::systemCache, kAnn));
    EXPECT_FALSE(isCanonicalAbsolute("/private/"));
    EXPECT_TRUE(isCanonicalAbsolute("/private"));
}

// Acute accents (class 230) before grave-below marks (class 220): canonical
// ordering has to carry every one of the latter past all of the former.
std::string marksInReverseOrder(std::size_t bytes) {
    std::string marks;
    for (std::size_t i = 0; i < bytes / 4; ++i) marks += "\xCC\x81";
    for (std::size_t i = 0; i < bytes / 4; ++i) marks += "\xCC\x96";
    return marks;
}

TEST_F(Screening, PathsLongerThanTheKernelTakesAreRefusedBeforeAnyUnicodeWork) {
    using limits::kMaxNameBytes, limits::kMaxPathBytes;
    const std::string caches = "/Library/Caches/";
    std::string names = caches;  // names of 200 bytes up to exactly the longest path
    while (names.size() + 201 <= kMaxPathBytes) names += std::string(200, 'n') + "/";
    names += std::string(kMaxPathBytes - names.size(), 'n');
    std::string marks = caches + "a";  // many names of marks, 80 KB in all
    while (marks.size() < 80 * 1024) marks += "/" + marksInReverseOrder(200);
    const std::pair<std::string, bool> cases[] = {
        {caches + std::string(kMaxNameBytes, 'n'), true},  {caches + std::string(kMaxNameBytes + 1, 'n'), false},
        {names, true},                                     {names + "n", false},
        {caches + "a" + marksInReverseOrder(80 * 1024), false}, {marks, false},
    };
    for (const auto& [path, withinLimits] : cases) {
        EXPECT_EQ(accepts(path, Target::supportFile, kAnn), withinLimits) << path.size();
        if (withinLimits) continue;
        const std::size_t before = unicode::canonicalFormsComputed();
        EXPECT_EQ(screen({path, path}, Target::supportFile, kAnn), (Verdict{{}, {path}}));
        for (Target any : kAllTargets) EXPECT_FALSE(accepts(path, any, kAnn));
        EXPECT_EQ(measurePaths({path}, kAnn), (std::vector<Measurement>{{path, 0, 0, true}}));
        EXPECT_EQ(unicode::canonicalFormsComputed(), before) << path.size();
    }
    // The count does move when a name within the limits needs the normalizer.
    const std::size_t before = unicode::canonicalFormsComputed();
    EXPECT_TRUE(accepts(caches + "caf\xC3\xA9", Target::supportFile, kAnn));
    EXPECT_GT(unicode::canonicalFormsComputed(), before);
}

TEST_F(Screening, RefusesALinkAsLeafOrAsAncestorButNotTheSystemAliases) {
    planted.directory("/Library/Caches/real/inner");
    planted.link("/Library/Caches/real", "/Library/Caches/leaf-link");
    planted.link("/nowhere", "/Library/Caches/dangling");
    planted.link("/Library/Caches/real", "/Library/Caches/x");
    for (const char* path : {"/Library/Caches/leaf-link", "/Library/Caches/dangling", "/Library/Caches/x/inner",
                             "/Library/Caches/x/missing/deeper"}) {
        EXPECT_FALSE(accepts(path, Target::systemCache, kAnn)) << path;
        EXPECT_FALSE(acceptsMeasurement(path, kAnn)) << path;
    }
    EXPECT_TRUE(accepts("/Library/Caches/real/inner", Target::systemCache, kAnn));
    EXPECT_FALSE(hasLinkedAncestor("/Library/Caches/x"));  // the leaf is not its own ancestor
    // /var, /tmp and /etc are links in this tree, and are skipped by name.
    EXPECT_TRUE(isSymbolicLinkLeaf("/var"));
    for (const char* path : {"/var/folders/ab/xyz/C/x", "/tmp/a/b", "/etc/a/b"}) EXPECT_FALSE(hasLinkedAncestor(path));
    EXPECT_TRUE(accepts("/var/folders/ab/xyz/C/x", Target::systemCache, kAnn));
    // Anything below them is examined like any other ancestor.
    planted.directory("/private/var/folders/real");
    planted.link("/private/var/folders/real", "/private/var/folders/zz");
    EXPECT_TRUE(hasLinkedAncestor("/private/var/folders/zz/x"));
    EXPECT_FALSE(accepts("/var/folders/zz/xyz/C/x", Target::systemCache, kAnn));
    // And a link at a whole root refuses everything below it.
    planted.moveAsideUntilEnd("/Library/Logs");
    planted.directory("/Library/elsewhere");
    planted.link("/Library/elsewhere", "/Library/Logs");
    EXPECT_FALSE(accepts("/Library/Logs/x", Target::systemLogs, kAnn));
}

// With no descriptor to spare, at the start or after the first step, the
// check goes by whole paths and answers the same.
TEST_F(Screening, TheAncestorCheckAnswersTheSameWithoutDescriptorsToSpare) {
    planted.directory("/Library/Caches/real/inner");
    planted.link("/Library/Caches/real", "/Library/Caches/x");
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(STDIN_FILENO);  // every descriptor below it is taken
    ::close(lowestFree);
    for (const rlim_t spare : {rlim_t{0}, rlim_t{1}}) {
        struct rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(lowestFree) + spare;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        const bool linked = hasLinkedAncestor("/Library/Caches/x/inner/item");
        const bool throughAliasOnly = hasLinkedAncestor("/var/folders/ab/item");
        ::setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_TRUE(linked) << spare;
        EXPECT_FALSE(throughAliasOnly) << spare;
    }
}

TEST_F(Screening, HomeItemsNeedARealHomeOwnedByThePeer) {
    const std::string item = "/Users/ann/Library/Caches/com.example";
    EXPECT_TRUE(accepts(item, Target::supportFile, kAnn));
    EXPECT_FALSE(accepts(item, Target::supportFile, kBob));
    EXPECT_FALSE(accepts(item, Target::supportFile, kRoot));
    // Root's shared folder serves only a root peer; outside homes any peer goes.
    EXPECT_TRUE(accepts("/Users/Shared/Library/Caches/x/y", Target::supportFile, kRoot));
    EXPECT_FALSE(accepts("/Users/Shared/Library/Caches/x/y", Target::supportFile, kAnn));
    for (uid_t peer : {kRoot, kAnn, kBob, uid_t{4242}}) EXPECT_TRUE(accepts("/Library/Caches/x", Target::supportFile, peer));
    // "/Users" itself, a missing home, a home that is a file or a link: nobody's.
    planted.file("/Users/file-home");
    planted.link("/Users/ann", "/Users/alias");
    for (const char* path : {"/Users", "/Users/carol/Library/Caches/x", "/Users/file-home/Library/Caches/x",
                             "/Users/alias/Library/Caches/x"}) {
        EXPECT_EQ(homeOwner(path), std::nullopt) << path;
        EXPECT_FALSE(isScopedToPeer(path, kRoot)) << path;
        EXPECT_FALSE(accepts(path, Target::supportFile, kAnn)) << path;
    }
    EXPECT_TRUE(isScopedToPeer("Users/x/y", kAnn));
    // Measurement lets anyone measure "/Users" and the homes right below it.
    EXPECT_TRUE(acceptsMeasurement("/Users/nobody-here", kAnn));
    EXPECT_FALSE(acceptsMeasurement("/Users/nobody-here/x", kAnn));
    EXPECT_FALSE(acceptsMeasurement("/Users/alias/Library", kAnn));
    // A home that changed hands follows its new owner.
    planted.chownUntilEnd("/Users/ann", kBob, 20);
    EXPECT_FALSE(accepts(item, Target::supportFile, kAnn));
    EXPECT_TRUE(accepts(item, Target::supportFile, kBob));
    EXPECT_FALSE(acceptsMeasurement("/Users/ann/Library", kAnn));
    EXPECT_TRUE(acceptsMeasurement("/Users/ann", kAnn));
}

// Deleted since screening, or a parent swapped for a link: proven through
// the whole request in the removal flow's tests.
TEST_F(Screening, TheResolvedCheckFollowsThePathToWhereItIsNowEvenThroughTheSkippedAliases) {
    planted.directory("/private/var/folders/ab/xyz/C/x");
    EXPECT_EQ(resolved("/var/folders/ab/xyz/C/x"), "/private/var/folders/ab/xyz/C/x");
    EXPECT_TRUE(acceptsResolved("/var/folders/ab/xyz/C/x", Target::systemCache, kAnn));
    planted.directory("/Users/ann/Library/Caches/y");
    EXPECT_TRUE(acceptsResolved("/Users/ann/Library/Caches/y", Target::supportFile, kAnn));
    EXPECT_FALSE(acceptsResolved("/Users/ann/Library/Caches/y", Target::supportFile, kBob));
    EXPECT_EQ(resolved(std::string("/Users\0/ann", 11)), std::nullopt);
    // "/var" is skipped by the ancestor check by name, so only the resolved
    // form shows where a path below it really lands.
    planted.file("/Library/Caches/fakevar/log/system.log");
    planted.moveAsideUntilEnd("/var");
    planted.link("/Library/Caches/fakevar", "/var");
    EXPECT_TRUE(accepts("/var/log/system.log", Target::systemLogs, kAnn));
    EXPECT_FALSE(acceptsResolved("/var/log/system.log", Target::systemLogs, kAnn));
    EXPECT_FALSE(acceptsResolved("/var/log/system.log", Target::systemLogs));
}

}  // namespace
}  // namespace smcd::removal
