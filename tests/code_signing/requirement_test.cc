#include "platform/code_signing/requirement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>
#include <stdexcept>
#include <string>
#include <string_view>

namespace smcd::platform {
namespace {

constexpr std::string_view kPeerRequirement =
    R"(identifier "com.vornik.app" and anchor apple generic and certificate leaf[subject.OU] = "Q4ZK2M7WXR" and info [CFBundleShortVersionString] >= "1.0")";

const CodeIdentity kAppIdentity{"com.vornik.app", "Q4ZK2M7WXR", "1.0"};

CodeSigningRequirement peerRequirement() {
    auto requirement = CodeSigningRequirement::parse(kPeerRequirement);
    if (!requirement) throw std::logic_error("the daemon's requirement does not parse");
    return *requirement;
}

TEST(RequirementParsing, ReadsTheDaemonsRequirementClauseByClauseWhateverTheSpacing) {
    ASSERT_EQ(kPeerRequirement.size(), 147u);
    const std::string_view spellings[] = {
        kPeerRequirement,
        "identifier \"com.vornik.app\"\tand\nanchor  apple generic and certificate leaf [ subject.OU ]=\"Q4ZK2M7WXR\" "
        "and info[CFBundleShortVersionString]>=\"1.0\"",
        "  identifier\"com.vornik.app\" and anchor apple generic and certificate leaf[subject.OU] = \"Q4ZK2M7WXR\" "
        "and info [CFBundleShortVersionString] >= \"1.0\"\r\n",
    };
    for (const auto text : spellings) {
        SCOPED_TRACE(std::string(text));
        const auto requirement = CodeSigningRequirement::parse(text);
        ASSERT_TRUE(requirement.has_value());
        const auto& clauses = requirement->clauses();
        ASSERT_EQ(clauses.size(), 4u);
        EXPECT_EQ(std::get<IdentifierClause>(clauses[0]).identifier, "com.vornik.app");
        EXPECT_TRUE(std::holds_alternative<AnchorAppleGenericClause>(clauses[1]));
        EXPECT_EQ(std::get<LeafTeamClause>(clauses[2]).teamIdentifier, "Q4ZK2M7WXR");
        EXPECT_EQ(std::get<ShortVersionClause>(clauses[3]).relation, VersionRelation::greaterOrEqual);
        EXPECT_EQ(std::get<ShortVersionClause>(clauses[3]).version, "1.0");
        EXPECT_TRUE(requirement->requiresAnchor());
        EXPECT_EQ(requirement->render(), kPeerRequirement);
    }
}

TEST(RequirementParsing, EveryTruncationFailsUnlessItEndsOnAClause) {
    // Cutting the text short may only leave a shorter, complete conjunction
    // (possibly followed by the space before the next "and").
    const std::size_t clauseEnds[] = {
        std::string_view(R"(identifier "com.vornik.app")").size(),
        std::string_view(R"(identifier "com.vornik.app" and anchor apple generic)").size(),
        kPeerRequirement.find(" and info"),
    };
    std::set<std::size_t> complete = {kPeerRequirement.size()};
    for (const std::size_t end : clauseEnds) complete.insert({end, end + 1});
    for (std::size_t length = 0; length <= kPeerRequirement.size(); ++length) {
        const auto prefix = kPeerRequirement.substr(0, length);
        SCOPED_TRACE(std::string(prefix));
        const auto requirement = CodeSigningRequirement::parse(prefix);
        EXPECT_EQ(requirement.has_value(), complete.count(length) == 1);
        if (requirement) {
            EXPECT_EQ(requirement->render(), kPeerRequirement.substr(0, prefix.find_last_not_of(' ') + 1));
        }
    }
}

TEST(RequirementParsing, RefusesWhatItCannotEnforce) {
    const std::string_view refused[] = {
        "", "   ",
        // extra or missing tokens
        R"(identifier "com.vornik.app" and)", R"(and identifier "com.vornik.app")",
        R"(identifier "com.vornik.app" and and anchor apple generic)", R"(identifier "com.vornik.app" "com.vornik.app")",
        R"(identifier "com.vornik.app" anchor apple generic)", R"(anchor apple generic generic)", R"(identifier)",
        R"(identifier com.vornik.app)", R"(identifier = "com.vornik.app")",
        // clauses of the platform's language this stand-in cannot evaluate
        R"(anchor apple)", R"(anchor trusted)", R"(anchor apple generic[field.1.2.840.113635.100.6.2.6])",
        R"(certificate root[subject.OU] = "Q4ZK2M7WXR")", R"(certificate leaf[subject.CN] = "Q4ZK2M7WXR")",
        R"(cert leaf[subject.OU] = "Q4ZK2M7WXR")", R"(certificate leaf[subject.OU] >= "Q4ZK2M7WXR")",
        R"(certificate leaf[subject.OU] exists)", R"(info [CFBundleVersion] >= "1.0")",
        R"(info [CFBundleShortVersionString] exists)", R"(entitlement ["com.apple.security.app-sandbox"] exists)",
        R"(cdhash H"0123456789abcdef0123456789abcdef01234567")", R"(Identifier "com.vornik.app")",
        R"(identifier "com.vornik.app" AND anchor apple generic)",
        // combinators
        R"(identifier "com.vornik.app" or anchor apple generic)", R"((identifier "com.vornik.app"))",
        R"(identifier "com.vornik.app" and (anchor apple generic))", R"(! identifier "com.evil")",
        R"(identifier "com.vornik.app" /* comment */)",
        // unbalanced or unusual quoting
        R"(identifier "com.vornik.app)", R"(identifier com.vornik.app")", R"(identifier "com.vornik.app"")",
        R"(identifier "")", R"(identifier "com.vornik\".app")", R"(identifier "com.vornik\\app")",
        "identifier \"com.vornik.app\x01\"", "identifier \"com.vornik.app\n\"", "identifier \"com.vornik.äpp\"",
        std::string_view("identifier \"com.vornik.app\0\"", 28), std::string_view("identifier \"com.vornik.app\"\0", 28),
        // versions and operators
        R"(info [CFBundleShortVersionString] >= "1.0b")", R"(info [CFBundleShortVersionString] >= "1..0")",
        R"(info [CFBundleShortVersionString] >= 1.0)", R"(info [CFBundleShortVersionString] == "1.0")",
        R"(info [CFBundleShortVersionString] => "1.0")", R"(info [CFBundleShortVersionString] != "1.0")",
        R"(info [CFBundleShortVersionString] <> "1.0")", R"(info [CFBundleShortVersionString "1.0")",
        R"(info CFBundleShortVersionString] >= "1.0")", R"(info [[CFBundleShortVersionString]] >= "1.0")",
    };
    for (const auto text : refused) EXPECT_FALSE(CodeSigningRequirement::parse(text).has_value()) << text;
}

TEST(RequirementParsing, RefusesTextBeyondTheLengthCap) {
    // Built from valid clauses so that length is the only thing wrong.
    constexpr std::string_view clause = R"( and identifier "a")";
    std::string text = R"(identifier "com.vornik.app")";
    while (text.size() + clause.size() <= 4096) text += clause;
    ASSERT_LE(text.size(), 4096u);
    EXPECT_TRUE(CodeSigningRequirement::parse(text).has_value());
    text += std::string(4097 - text.size(), ' ');
    EXPECT_FALSE(CodeSigningRequirement::parse(text).has_value());

    // Tight spacing fits the cap while the canonical rendering would not.
    std::string tight = R"(identifier "com.vornik.app")";
    while (tight.size() + 31 <= 4096) tight += R"(and identifier "com.vornik.app")";
    ASSERT_LE(tight.size(), 4096u);
    EXPECT_FALSE(CodeSigningRequirement::parse(tight).has_value());
}

TEST(RequirementEvaluation, TheAppsIdentitySatisfiesEveryClauseAndEachClauseRefusesOnItsOwn) {
    const auto requirement = peerRequirement();
    using C = ClauseKind;
    constexpr auto yes = AnchorEvidence::anchored, no = AnchorEvidence::notAnchored;
    const std::tuple<CodeIdentity, AnchorEvidence, std::optional<ClauseKind>> cases[] = {
        {kAppIdentity, yes, std::nullopt}, {{"com.vornik.app", "Q4ZK2M7WXR", "1"}, yes, std::nullopt},
        {{"com.vornik.app", "Q4ZK2M7WXR", "1.0.0"}, yes, std::nullopt},
        {{"com.vornik.app", "Q4ZK2M7WXR", "1.10"}, yes, std::nullopt},
        {{"com.vornik.app", "Q4ZK2M7WXR", "10"}, yes, std::nullopt},
        {{"com.vornik.appx", "Q4ZK2M7WXR", "1.0"}, yes, C::identifier},
        {{"com.vornik.ap", "Q4ZK2M7WXR", "1.0"}, yes, C::identifier},
        {{"com.Vornik.app", "Q4ZK2M7WXR", "1.0"}, yes, C::identifier},
        {kAppIdentity, no, C::anchorAppleGeneric},
        {{"com.vornik.app", "Q4ZK2M7WXS", "1.0"}, yes, C::leafTeam},
        {{"com.vornik.app", "q4zk2m7wxr", "1.0"}, yes, C::leafTeam},
        {{"com.vornik.app", "Q4ZK2M7WX", "1.0"}, yes, C::leafTeam},
        {{"com.vornik.app", "Q4ZK2M7WXR", "0.9"}, yes, C::shortVersion},
        {{"com.vornik.app", "Q4ZK2M7WXR", "0.99.99"}, yes, C::shortVersion},
        {{"com.vornik.app", "Q4ZK2M7WXR", "1.0-beta"}, yes, C::shortVersion},
        {{"com.vornik.app", "Q4ZK2M7WXR", ""}, yes, C::shortVersion},
        // Several failures: the first in text order is the one reported.
        {{"com.evil", "Q4ZK2M7WXR", "1.0"}, no, C::identifier},
        {{"com.vornik.app", "EVIL", "0.1"}, no, C::anchorAppleGeneric},
    };
    for (const auto& [identity, anchor, failing] : cases)
        EXPECT_EQ(requirement.firstUnsatisfiedClause(identity, anchor), failing)
            << identity.identifier << " " << identity.teamIdentifier << " " << identity.shortVersion;
}

TEST(RequirementEvaluation, VersionOperatorsReadRenderBackAndCompareAsVersions) {
    const std::pair<std::string_view, VersionRelation> operators[] = {
        {"=", VersionRelation::equal},         {"<", VersionRelation::less}, {">", VersionRelation::greater},
        {"<=", VersionRelation::lessOrEqual}, {">=", VersionRelation::greaterOrEqual}};
    // Requirement version "1.9" throughout.
    const std::tuple<std::string_view, std::string_view, bool> cases[] = {
        {">=", "1.10", true}, {">=", "1.9.0", true}, {">=", "1.8", false},  {">", "1.9", false},
        {">", "1.9.1", true}, {"<", "1.8.99", true}, {"<", "1.10", false},  {"<=", "1.9", true},
        {"<=", "2", false},   {"=", "1.9.0", true},  {"=", "1.90", false},  {"=", "1.9-rc", false},
        {"<", "abc", false},  {">=", "", false},
    };
    for (const auto& [op, peerVersion, holds] : cases) {
        const std::string text = "info [CFBundleShortVersionString] " + std::string(op) + " \"1.9\"";
        SCOPED_TRACE(text + " with peer version " + std::string(peerVersion));
        const auto requirement = CodeSigningRequirement::parse(text);
        ASSERT_TRUE(requirement.has_value());
        const auto relation = std::find_if(std::begin(operators), std::end(operators), [op = op](auto& o) { return o.first == op; });
        EXPECT_EQ(std::get<ShortVersionClause>(requirement->clauses().at(0)).relation, relation->second);
        EXPECT_EQ(requirement->render(), text);
        // Without an anchor clause the anchor is not consulted.
        EXPECT_FALSE(requirement->requiresAnchor());
        const CodeIdentity identity{"x", "y", std::string(peerVersion)};
        EXPECT_EQ(!requirement->firstUnsatisfiedClause(identity, AnchorEvidence::notAnchored).has_value(), holds);
    }
}

}  // namespace
}  // namespace smcd::platform
