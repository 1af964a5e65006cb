#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "removal/path_text.h"
#include "removal/privileged_removal.h"
#include "removal/safe_removal.h"

namespace smcd {
namespace {

const std::string kComposed = "caf\xC3\xA9";     // é as one scalar
const std::string kDecomposed = "cafe\xCC\x81";  // e + combining acute

using Components = std::optional<std::vector<std::string>>;

struct ContainmentCase {
    std::string path;
    std::string root;
    Components expected;
};

TEST(Containment, YieldsTheNamesStrictlyBelowTheRoot) {
    const ContainmentCase cases[] = {
        {"/Library/Caches/x", "/Library/Caches", std::vector<std::string>{"x"}},
        {"/Library/Caches/x/y/z", "/Library/Caches", std::vector<std::string>{"x", "y", "z"}},
        // slashes never make a component
        {"/Library//Caches/x/", "/Library/Caches", std::vector<std::string>{"x"}},
        {"//Library/Caches///x//y", "/Library/Caches/", std::vector<std::string>{"x", "y"}},
        // the leading "/" is not looked at
        {"Library/Caches/x", "/Library/Caches", std::vector<std::string>{"x"}},
        // equal to, above or beside the root
        {"/Library/Caches", "/Library/Caches", std::nullopt},
        {"/Library/Caches/", "/Library/Caches", std::nullopt},
        {"/Library", "/Library/Caches", std::nullopt},
        {"/Library/Logs/x", "/Library/Caches", std::nullopt},
        {"/Library/CachesX/x", "/Library/Caches", std::nullopt},
        {"/library/caches/x", "/Library/Caches", std::nullopt},
        // "." and ".." anywhere refuse, even when they would land inside
        {"/Library/Caches/x/../y", "/Library/Caches", std::nullopt},
        {"/Library/Caches/./x", "/Library/Caches", std::nullopt},
        {"/Library/Caches/x/.", "/Library/Caches", std::nullopt},
        {"/Library/Caches/..", "/Library/Caches", std::nullopt},
        {"/Library/../Library/Caches/x", "/Library/Caches", std::nullopt},
        // names that merely contain dots are names
        {"/Library/Caches/...", "/Library/Caches", std::vector<std::string>{"..."}},
        {"/Library/Caches/.x", "/Library/Caches", std::vector<std::string>{".x"}},
        // a NUL would shorten the name the system sees
        {std::string("/Library/Caches/x\0/y", 20), "/Library/Caches", std::nullopt},
        {"/Library/Caches/x", std::string("/Library\0/Caches", 16), std::nullopt},
    };
    for (const ContainmentCase& c : cases)
        EXPECT_EQ(SafeRemoval::relativeComponents(c.path, c.root), c.expected) << c.path << " below " << c.root;
}

TEST(Containment, ComparesRootComponentsByCanonicalEquivalenceAndKeepsTheClientsBytes) {
    const std::string root = "/Users/" + kComposed;
    const Components below = SafeRemoval::relativeComponents("/Users/" + kDecomposed + "/" + kDecomposed, root);
    ASSERT_TRUE(below.has_value());
    // The walked name is exactly what was sent, not its composed form.
    EXPECT_EQ(*below, std::vector<std::string>{kDecomposed});
    EXPECT_FALSE(SafeRemoval::relativeComponents("/Users/Cafe\xCC\x81/x", root).has_value());
}

TEST(FailureText, NamesTheCaseAndItsPayload) {
    using SafeRemoval::Failure;
    EXPECT_EQ(SafeRemoval::describe(Failure::denied(13)), "denied(13)");
    EXPECT_EQ(SafeRemoval::describe(Failure::denied(-1)), "denied(-1)");
    EXPECT_EQ(SafeRemoval::describe(Failure::escapedRoot("name")), "escapedRoot(\"name\")");
    EXPECT_EQ(SafeRemoval::describe(Failure::outsideRoot()), "outsideRoot");
    EXPECT_EQ(SafeRemoval::describe(Failure::notFound()), "notFound");
    // A hostile name cannot end the quoted payload or start a new log line.
    EXPECT_EQ(SafeRemoval::describe(Failure::escapedRoot("a\"b\\c\nd\x01")), "escapedRoot(\"a\\\"b\\\\c\\nd\\u{1}\")");
    EXPECT_EQ(SafeRemoval::describe(Failure::escapedRoot(kComposed)), "escapedRoot(\"" + kComposed + "\")");
}

TEST(FailureText, EqualityComparesCaseAndPayload) {
    using SafeRemoval::Failure;
    EXPECT_EQ(Failure::escapedRoot("a"), Failure::escapedRoot("a"));
    EXPECT_NE(Failure::escapedRoot("a"), Failure::escapedRoot("b"));
    EXPECT_NE(Failure::denied(2), Failure::denied(13));
    EXPECT_NE(Failure::denied(2), Failure::notFound());
}

TEST(PathText, StrictlyBelowNeedsACharacterAfterTheSlash) {
    using PrivilegedRemoval::text::isStrictlyBelow;
    EXPECT_TRUE(isStrictlyBelow("/Library/Caches/x", "/Library/Caches"));
    EXPECT_FALSE(isStrictlyBelow("/Library/Caches/", "/Library/Caches"));
    EXPECT_FALSE(isStrictlyBelow("/Library/Caches", "/Library/Caches"));
    EXPECT_FALSE(isStrictlyBelow("/Library/CachesX", "/Library/Caches"));
    EXPECT_FALSE(isStrictlyBelow("/Library", "/Library/Caches"));
    // A combining mark right after the slash fuses with it into one character,
    // so nothing follows the root's "/" as a character of its own.
    EXPECT_FALSE(isStrictlyBelow("/Library/Caches/\xCC\x81", "/Library/Caches"));
    EXPECT_FALSE(isStrictlyBelow("/Library/Caches/\xCC\x81x", "/Library/Caches"));
    EXPECT_TRUE(isStrictlyBelow("/Users/" + kDecomposed + "/x", "/Users/" + kComposed));
}

TEST(PathText, LongestRootWinsAndTheEarlierOnATie) {
    using PrivilegedRemoval::text::longestRootAbove;
    const std::vector<std::string> roots{"/a", "/a/bb", "/a/cc", "/a/bb/c"};
    ASSERT_NE(longestRootAbove("/a/bb/c/d", roots), nullptr);
    EXPECT_EQ(*longestRootAbove("/a/bb/c/d", roots), "/a/bb/c");
    EXPECT_EQ(*longestRootAbove("/a/bb/x", roots), "/a/bb");
    EXPECT_EQ(*longestRootAbove("/a/x", roots), "/a");
    EXPECT_EQ(longestRootAbove("/a", roots), nullptr);
    const std::vector<std::string> tie{"/x/" + kDecomposed, "/x/" + kComposed};
    // Same character count: the first one listed wins.
    EXPECT_EQ(longestRootAbove("/x/" + kComposed + "/y", tie), &tie[0]);
}

TEST(Target, ConstructsOnlyFromAnExactRawValue) {
    using PrivilegedRemoval::Target;
    const std::pair<Target, std::string> all[] = {
        {Target::appBundle, "appBundle"},         {Target::supportFile, "supportFile"},
        {Target::systemCache, "systemCache"},     {Target::systemLogs, "systemLogs"},
        {Target::gpuShaderCaches, "gpuShaderCaches"}, {Target::rosettaCaches, "rosettaCaches"},
    };
    for (const auto& [target, raw] : all) {
        EXPECT_EQ(PrivilegedRemoval::rawValue(target), raw);
        EXPECT_EQ(PrivilegedRemoval::targetFromRawValue(raw), target);
    }
    for (const char* bad : {"AppBundle", "", "appBundle ", "appbundle", "systemcache"})
        EXPECT_FALSE(PrivilegedRemoval::targetFromRawValue(bad).has_value()) << bad;
    EXPECT_FALSE(PrivilegedRemoval::targetFromRawValue(std::string("appBundle\0", 10)).has_value());
}

TEST(Verdict, EncodesBothListsInRecordOrder) {
    nlohmann::ordered_json json = PrivilegedRemoval::Verdict{{"/a", "/b"}, {"/c"}};
    EXPECT_EQ(json.dump(), R"({"allowed":["/a","/b"],"refused":["/c"]})");
    json = PrivilegedRemoval::Verdict{};
    EXPECT_EQ(json.dump(), R"({"allowed":[],"refused":[]})");
}

TEST(LaunchdLabel, AcceptsOnlyTheAlphabetUpTo255Characters) {
    using PrivilegedRemoval::isValidLaunchdLabel;
    EXPECT_TRUE(isValidLaunchdLabel("com.example.job"));
    EXPECT_TRUE(isValidLaunchdLabel("A-Z_a-z.0-9"));
    EXPECT_TRUE(isValidLaunchdLabel(std::string(255, 'a')));
    EXPECT_FALSE(isValidLaunchdLabel(std::string(256, 'a')));
    EXPECT_FALSE(isValidLaunchdLabel(""));
    for (const char* bad : {"com.example job", "com/example", "com.example~", "com.example\n", "com:example",
                            "com.caf\xC3\xA9", "com.cafe\xCC\x81", "\xFF"})
        EXPECT_FALSE(isValidLaunchdLabel(bad)) << bad;
    EXPECT_FALSE(isValidLaunchdLabel(std::string("com.example\0x", 13)));
}

}  // namespace
}  // namespace smcd
