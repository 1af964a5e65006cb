#include "platform/code_signing/requirement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>

namespace smcd::platform {
namespace {

constexpr std::string_view kPeerRequirement =
    R"(identifier "com.vornik.app" and anchor apple generic and certificate leaf[subject.OU] = "Q4ZK2M7WXR" and info [CFBundleShortVersionString] >= "1.0")";

TEST(RequirementParsing, ReadsTheDaemonsRequirementClauseByClauseWhateverTheSpacing) {
    // Whatever the spacing, it reads back as the canonical text.
    for (const std::string_view text :
         {kPeerRequirement, std::string_view("identifier \"com.vornik.app\"\tand\nanchor  apple generic and certificate leaf [ "
                                             "subject.OU ]=\"Q4ZK2M7WXR\" and info[CFBundleShortVersionString]>=\"1.0\"\r\n")}) {
        const auto requirement = CodeSigningRequirement::parse(text);
        ASSERT_TRUE(requirement.has_value()) << text;
        EXPECT_EQ(requirement->clauses().size(), 4u);
        EXPECT_TRUE(requirement->requiresAnchor());
        EXPECT_EQ(requirement->render(), kPeerRequirement);
    }
    // A truncation parses only where it ends on a whole clause (or the space after one).
    const std::size_t ends[] = {kPeerRequirement.find(" and anchor"), kPeerRequirement.find(" and cert"),
                                kPeerRequirement.find(" and info")};
    for (std::size_t length = 0; length < kPeerRequirement.size(); ++length) {
        const bool whole = std::ranges::any_of(ends, [&](std::size_t end) { return length == end || length == end + 1; });
        EXPECT_EQ(CodeSigningRequirement::parse(kPeerRequirement.substr(0, length)).has_value(), whole) << length;
    }
}

TEST(RequirementParsing, RefusesWhatItCannotEnforce) {
    const std::string_view refused[] = {
        "", R"(identifier "com.vornik.app" and)", R"(identifier com.vornik.app)", R"(identifier "com.vornik.app" anchor apple generic)",
        // clauses of the platform's language this stand-in cannot evaluate
        R"(anchor apple)", R"(anchor apple generic[field.1.2.840.113635.100.6.2.6])", R"(info [CFBundleVersion] >= "1.0")",
        R"(certificate root[subject.OU] = "Q4ZK2M7WXR")", R"(certificate leaf[subject.CN] = "Q4ZK2M7WXR")",
        R"(certificate leaf[subject.OU] >= "Q4ZK2M7WXR")", R"(Identifier "com.vornik.app")", R"(cdhash H"0123")",
        R"(identifier "a" or anchor apple generic)", R"(! identifier "a")",
        // unbalanced or unusual quoting, versions and operators
        R"(identifier "com.vornik.app)", R"(identifier "")", R"(identifier "com.vornik\".app")",
        std::string_view("identifier \"a\0\"", 15), R"(info [CFBundleShortVersionString] >= "1.0b")",
        R"(info [CFBundleShortVersionString] == "1.0")", R"(info [CFBundleShortVersionString] != "1.0")",
    };
    for (const auto text : refused) EXPECT_FALSE(CodeSigningRequirement::parse(text).has_value()) << text;
}

TEST(RequirementEvaluation, TheAppsIdentitySatisfiesEveryClauseAndEachClauseRefusesOnItsOwn) {
    const auto requirement = *CodeSigningRequirement::parse(kPeerRequirement);
    using C = ClauseKind;
    constexpr auto yes = AnchorEvidence::anchored, no = AnchorEvidence::notAnchored;
    const std::tuple<CodeIdentity, AnchorEvidence, std::optional<ClauseKind>> cases[] = {
        {{"com.vornik.app", "Q4ZK2M7WXR", "1.0"}, yes, std::nullopt}, {{"com.vornik.app", "Q4ZK2M7WXR", "1.10"}, yes, std::nullopt},
        {{"com.vornik.appx", "Q4ZK2M7WXR", "1.0"}, yes, C::identifier}, {{"com.vornik.ap", "Q4ZK2M7WXR", "1.0"}, yes, C::identifier},
        {{"com.Vornik.app", "Q4ZK2M7WXR", "1.0"}, yes, C::identifier}, {{"com.vornik.app", "Q4ZK2M7WXR", "1.0"}, no, C::anchorAppleGeneric},
        {{"com.vornik.app", "Q4ZK2M7WXS", "1.0"}, yes, C::leafTeam}, {{"com.vornik.app", "q4zk2m7wxr", "1.0"}, yes, C::leafTeam},
        {{"com.vornik.app", "Q4ZK2M7WX", "1.0"}, yes, C::leafTeam}, {{"com.vornik.app", "Q4ZK2M7WXR", "0.9"}, yes, C::shortVersion},
        // Several failures: the first in text order is the one reported.
        {{"com.evil", "Q4ZK2M7WXR", "1.0"}, no, C::identifier}, {{"com.vornik.app", "EVIL", "0.1"}, no, C::anchorAppleGeneric},
    };
    for (const auto& [identity, anchor, failing] : cases)
        EXPECT_EQ(requirement.firstUnsatisfiedClause(identity, anchor), failing)
            << identity.identifier << " " << identity.teamIdentifier << " " << identity.shortVersion;
}

TEST(RequirementEvaluation, VersionsCompareComponentByComponentAsNumbers) {
    const std::tuple<std::string_view, std::string_view, std::string_view, bool> cases[] = {
        {">=", "1.9", "1.10", true}, {">=", "1.9", "1.9.0", true}, {">=", "1.9", "1.8", false}, {">", "1.9", "1.9", false},
        {">", "1.9", "1.9.1", true}, {"<", "1.9", "1.8.99", true}, {"<", "1.9", "1.9", false}, {"<", "1.9", "1.10", false},
        {"<=", "1.9", "1.9", true},  {"<=", "1.9", "2", false},    {"=", "1.9", "1.9.0", true}, {"=", "1.9", "1.90", false},
        {"=", "1.02", "01.2.0.0", true}, {"<", "10", "9", true},
        // beyond any 64-bit integer
        {"<", "1.18446744073709551617", "1.18446744073709551616", true},
        {">", "99999999999999999999", "100000000000000000000", true},
        // text that is no version has no order
        {"<", "1.9", "", false},   {"<", "1.9", "1.0-beta", false}, {"<", "1.9", "1..0", false}, {"<", "1.9", " 1", false},
        {"<", "1.9", "-1", false}, {"<", "1.9", "\u0661.\u0660", false}, {"<", "1.9", "1e0", false}, {"<", "1.9", "1.", false},
    };
    for (const auto& [op, required, peerVersion, holds] : cases) {
        const std::string text = "info [CFBundleShortVersionString] " + std::string(op) + " \"" + std::string(required) + "\"";
        SCOPED_TRACE(text + " with peer version " + std::string(peerVersion));
        const auto requirement = CodeSigningRequirement::parse(text);
        ASSERT_TRUE(requirement.has_value());
        EXPECT_EQ(requirement->render(), text);
        // Without an anchor clause the anchor is not consulted.
        const CodeIdentity identity{"x", "y", std::string(peerVersion)};
        EXPECT_EQ(!requirement->firstUnsatisfiedClause(identity, AnchorEvidence::notAnchored).has_value(), holds);
    }
}

}  // namespace
}  // namespace smcd::platform
