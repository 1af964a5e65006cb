#include <gtest/gtest.h>

#include <set>

#include "platform/path/path_components.h"
#include "platform/path/standardized_path.h"

namespace smcd::platform {
namespace {

// A file system of a few known paths and two known users.
PathLookups fakeLookups(std::set<std::string> existing) {
    PathLookups lookups;
    lookups.homeDirectory = [](std::string_view user) -> std::optional<std::string> {
        if (user.empty()) return std::string("/var/root");
        if (user == "ann") return std::string("/Users/ann");
        return std::nullopt;
    };
    lookups.exists = [existing = std::move(existing)](const std::string& path) { return existing.count(path) > 0; };
    return lookups;
}

struct StandardizationCase {
    const char* input;
    const char* expected;
};

TEST(PathStandardization, PerformsEachRewrite) {
    const PathLookups lookups = fakeLookups({"/var/folders/ab", "/var", "/tmp/x", "/etc/hosts"});
    const StandardizationCase cases[] = {
        // already standard
        {"/", "/"},
        {"/Library/Caches/com.example", "/Library/Caches/com.example"},
        // repeated and trailing slashes
        {"//", "/"},
        {"/Library//Caches///x", "/Library/Caches/x"},
        {"/Library/Caches/", "/Library/Caches"},
        {"/Library/Caches//", "/Library/Caches"},
        // "." components
        {"/Library/./Caches/.", "/Library/Caches"},
        {"/./", "/"},
        // ".." resolved lexically in absolute paths, never above "/"
        {"/Library/Caches/../Logs", "/Library/Logs"},
        {"/Library/LaunchDaemons/x/../job.plist", "/Library/LaunchDaemons/job.plist"},
        {"/..", "/"},
        {"/../../etc", "/etc"},
        {"/a/b/../../..", "/"},
        // relative paths keep ".." and lose "." and empty components
        {"a//b/./c/", "a/b/c"},
        {"../a/../b", "../a/../b"},
        {"./", "."},
        // the tilde
        {"~", "/var/root"},
        {"~/Library", "/var/root/Library"},
        {"~ann/Desktop/../x", "/Users/ann/x"},
        {"~nobody-known/x", "~nobody-known/x"},
        {"/x/~", "/x/~"},
        // "/private" goes only when the shorter path exists
        {"/private/var/folders/ab", "/var/folders/ab"},
        {"/private/var", "/var"},
        {"/private/var/folders/missing", "/private/var/folders/missing"},
        {"/private/tmp/x/", "/tmp/x"},
        {"/private//etc/./hosts", "/etc/hosts"},
        {"/private", "/private"},
        {"/privateer/x", "/privateer/x"},
        {"/Users/private/var", "/Users/private/var"},
        // bytes of each name stay the caller's
        {"/Library/Caches/cafe\xCC\x81", "/Library/Caches/cafe\xCC\x81"},
        {"", ""},
    };
    for (const StandardizationCase& c : cases)
        EXPECT_EQ(standardizingPath(c.input, lookups), c.expected) << "input: " << c.input;
}

TEST(PathStandardization, AsksAboutTheShortenedPathAfterTheOtherRewrites) {
    std::vector<std::string> asked;
    PathLookups lookups = fakeLookups({});
    lookups.exists = [&asked](const std::string& path) {
        asked.push_back(path);
        return false;
    };
    EXPECT_EQ(standardizingPath("/private//var/./x/../y/", lookups), "/private/var/y");
    EXPECT_EQ(asked, std::vector<std::string>{"/var/y"});
    asked.clear();
    EXPECT_EQ(standardizingPath("/Library/Caches", lookups), "/Library/Caches");
    EXPECT_TRUE(asked.empty());
}

TEST(PathStandardization, SystemLookupsNeverAnswerForATruncatedName) {
    // "/" exists, but a name with a NUL inside must not be taken for it.
    EXPECT_TRUE(systemPathLookups().exists("/"));
    EXPECT_FALSE(systemPathLookups().exists(std::string("/\0x", 3)));
}

struct ComponentsCase {
    const char* path;
    std::vector<std::string> components;
};

TEST(PathComponents, SplitsLikeThePlatform) {
    const ComponentsCase cases[] = {
        {"/", {"/"}},
        {"/Users", {"/", "Users"}},
        {"/Users/ann/Library", {"/", "Users", "ann", "Library"}},
        {"//Users///ann", {"/", "Users", "ann"}},
        {"/Users/ann/", {"/", "Users", "ann", "/"}},
        {"Users/ann", {"Users", "ann"}},
        {"/a/./../b", {"/", "a", ".", "..", "b"}},
        {"", {}},
    };
    for (const ComponentsCase& c : cases) EXPECT_EQ(pathComponents(c.path), c.components) << "path: " << c.path;
}

TEST(PathComponents, DeletesTheLastComponent) {
    const StandardizationCase cases[] = {
        {"/Applications/Some.app", "/Applications"},
        {"/Applications/Utilities/Some.app", "/Applications/Utilities"},
        {"/Applications/Some.app/", "/Applications"},
        {"/Some.app", "/"},
        {"/", "/"},
        {"Some.app", ""},
        {"a/b", "a"},
        {"/a//b", "/a"},
    };
    for (const StandardizationCase& c : cases)
        EXPECT_EQ(deletingLastPathComponent(c.input), c.expected) << "path: " << c.input;
}

}  // namespace
}  // namespace smcd::platform
