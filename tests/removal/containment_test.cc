#include <gtest/gtest.h>

#include "removal/path_text.h"
#include "removal/screening.h"
#include "removal/safe_removal.h"

namespace smcd {
namespace {

const std::string kComposed = "caf\xC3\xA9";     // é as one scalar
const std::string kDecomposed = "cafe\xCC\x81";  // e + combining acute
using Names = std::vector<std::string>;

TEST(Containment, YieldsTheNamesStrictlyBelowTheRoot) {
    const std::string caches = "/Library/Caches";
    const std::tuple<std::string, std::string, std::optional<Names>> cases[] = {
        {"/Library/Caches/x/y", caches, Names{"x", "y"}},
        // slashes never make a component, and the leading one is not looked at
        {"/Library//Caches/x/", caches, Names{"x"}}, {"//Library/Caches///x//y", caches + "/", Names{"x", "y"}},
        {"Library/Caches/x", caches, Names{"x"}},
        // equal to, above or beside the root
        {caches, caches, std::nullopt}, {caches + "/", caches, std::nullopt}, {"/Library", caches, std::nullopt},
        {"/Library/CachesX/x", caches, std::nullopt}, {"/library/caches/x", caches, std::nullopt},
        // "." and ".." anywhere refuse, even where they would land inside
        {"/Library/Caches/x/../y", caches, std::nullopt}, {"/Library/Caches/./x", caches, std::nullopt},
        {"/Library/Caches/x/.", caches, std::nullopt}, {"/Library/../Library/Caches/x", caches, std::nullopt},
        {"/Library/Caches/...", caches, Names{"..."}}, {"/Library/Caches/.x", caches, Names{".x"}},
        // a NUL would shorten the name the system sees
        {std::string("/Library/Caches/x\0/y", 20), caches, std::nullopt},
        {"/Library/Caches/x", std::string("/Library\0/Caches", 16), std::nullopt},
        // root components compare canonically; the names below keep the client's bytes
        {"/Users/" + kDecomposed + "/" + kDecomposed, "/Users/" + kComposed, Names{kDecomposed}},
        {"/Users/Cafe\xCC\x81/x", "/Users/" + kComposed, std::nullopt},
    };
    for (const auto& [path, root, expected] : cases)
        EXPECT_EQ(removal::relativeComponents(path, root), expected) << path << " below " << root;
}

TEST(Containment, FailureTextNamesTheCaseAndAHostileNameCannotEndItsQuotesOrTheLine) {
    using removal::Failure;
    EXPECT_EQ(removal::describe(Failure::denied(13)), "denied(13)");
    EXPECT_EQ(removal::describe(Failure::escapedRoot("a\"b\\c\nd\x01" + kComposed)),
              "escapedRoot(\"a\\\"b\\\\c\\nd\\u{1}" + kComposed + "\")");
}

TEST(PathText, StrictlyBelowCountsCharactersNotBytesAndTheLongestRootWins) {
    using removal::text::isStrictlyBelow;
    EXPECT_TRUE(isStrictlyBelow("/Users/" + kDecomposed + "/x", "/Users/" + kComposed));
    // A mark right after the slash fuses with it into one character.
    for (const char* notBelow : {"/Library/Caches/", "/Library/CachesX", "/Library/Caches/\xCC\x81x"})
        EXPECT_FALSE(isStrictlyBelow(notBelow, "/Library/Caches")) << notBelow;
    using removal::text::longestRootAbove;
    const std::vector<std::string> roots{"/a", "/a/bb", "/a/bb/c", "/x/" + kDecomposed, "/x/" + kComposed};
    EXPECT_EQ(longestRootAbove("/a/bb/c/d", roots), &roots[2]);
    EXPECT_EQ(longestRootAbove("/a", roots), nullptr);
    EXPECT_EQ(longestRootAbove("/x/" + kComposed + "/y", roots), &roots[3]);  // equal in characters: the first listed
}

TEST(Target, ConstructsOnlyFromAnExactRawValue) {
    using namespace removal;
    EXPECT_EQ(targetFromRawValue("gpuShaderCaches"), Target::gpuShaderCaches);
    for (const std::string& bad : {std::string("appbundle"), std::string("appBundle "), std::string("appBundle\0", 10)})
        EXPECT_FALSE(targetFromRawValue(bad).has_value()) << bad;
}

}  // namespace
}  // namespace smcd
