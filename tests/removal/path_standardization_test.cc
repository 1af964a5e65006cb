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

using Case = std::pair<const char*, const char*>;  // input, expected

TEST(PathStandardization, PerformsEachRewrite) {
    const PathLookups lookups = fakeLookups({"/var/folders/ab", "/var", "/tmp/x", "/etc/hosts"});
    const Case cases[] = {
        {"/", "/"}, {"/Library/Caches/x", "/Library/Caches/x"}, {"", ""},
        // repeated and trailing slashes, "." components
        {"//", "/"}, {"/Library//Caches///x", "/Library/Caches/x"}, {"/Library/Caches//", "/Library/Caches"},
        {"/Library/./Caches/.", "/Library/Caches"}, {"/./", "/"},
        // ".." lexically in absolute paths, never above "/"; kept in relative ones
        {"/Library/Caches/../Logs", "/Library/Logs"}, {"/..", "/"}, {"/../../etc", "/etc"}, {"/a/b/../../..", "/"},
        {"a//b/./c/", "a/b/c"}, {"../a/../b", "../a/../b"}, {"./", "."},
        // a leading tilde only
        {"~", "/var/root"}, {"~/Library", "/var/root/Library"}, {"~ann/Desktop/../x", "/Users/ann/x"},
        {"~nobody-known/x", "~nobody-known/x"}, {"/x/~", "/x/~"},
        // "/private" goes only when the shorter path exists
        {"/private/var/folders/ab", "/var/folders/ab"}, {"/private/var", "/var"},
        {"/private/var/folders/missing", "/private/var/folders/missing"}, {"/private/tmp/x/", "/tmp/x"},
        {"/private//etc/./hosts", "/etc/hosts"}, {"/private", "/private"}, {"/privateer/x", "/privateer/x"},
        {"/Users/private/var", "/Users/private/var"},
        // the bytes of each name stay the caller's
        {"/Library/Caches/cafe\xCC\x81", "/Library/Caches/cafe\xCC\x81"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(standardizingPath(input, lookups), expected) << input;
}

TEST(PathStandardization, AsksAboutTheShortenedPathOnlyAfterTheOtherRewrites) {
    std::vector<std::string> asked;
    PathLookups lookups = fakeLookups({});
    lookups.exists = [&asked](const std::string& path) {
        asked.push_back(path);
        return false;
    };
    EXPECT_EQ(standardizingPath("/private//var/./x/../y/", lookups), "/private/var/y");
    EXPECT_EQ(standardizingPath("/Library/Caches", lookups), "/Library/Caches");
    EXPECT_EQ(asked, std::vector<std::string>{"/var/y"});
    // A name with a NUL must not be answered for the shorter name before it.
    EXPECT_TRUE(systemPathLookups().exists("/"));
    EXPECT_FALSE(systemPathLookups().exists(std::string("/\0x", 3)));
}

TEST(PathComponents, SplitsAndTrimsLikeThePlatform) {
    const std::pair<const char*, std::vector<std::string>> splits[] = {
        {"/", {"/"}}, {"/Users/ann/Library", {"/", "Users", "ann", "Library"}}, {"//Users///ann", {"/", "Users", "ann"}},
        {"/Users/ann/", {"/", "Users", "ann", "/"}}, {"Users/ann", {"Users", "ann"}},
        {"/a/./../b", {"/", "a", ".", "..", "b"}}, {"", {}},
    };
    for (const auto& [path, components] : splits) EXPECT_EQ(pathComponents(path), components) << path;
    const Case parents[] = {
        {"/Applications/Some.app", "/Applications"}, {"/Applications/Utilities/Some.app", "/Applications/Utilities"},
        {"/Applications/Some.app/", "/Applications"}, {"/Some.app", "/"}, {"/", "/"}, {"Some.app", ""}, {"a/b", "a"},
        {"/a//b", "/a"},
    };
    for (const auto& [path, parent] : parents) EXPECT_EQ(deletingLastPathComponent(path), parent) << path;
}

}  // namespace
}  // namespace smcd::platform
