#include "platform/code_signing/requirement.h"

#include <gtest/gtest.h>

#include <set>
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

TEST(RequirementParsing, ReadsTheDaemonsRequirementClauseByClause) {
    ASSERT_EQ(kPeerRequirement.size(), 147u);
    const auto requirement = CodeSigningRequirement::parse(kPeerRequirement);
    ASSERT_TRUE(requirement.has_value());
    const auto& clauses = requirement->clauses();
    ASSERT_EQ(clauses.size(), 4u);
    EXPECT_EQ(std::get<IdentifierClause>(clauses[0]).identifier, "com.vornik.app");
    EXPECT_TRUE(std::holds_alternative<AnchorAppleGenericClause>(clauses[1]));
    EXPECT_EQ(std::get<LeafTeamClause>(clauses[2]).teamIdentifier, "Q4ZK2M7WXR");
    const auto& version = std::get<ShortVersionClause>(clauses[3]);
    EXPECT_EQ(version.relation, VersionRelation::greaterOrEqual);
    EXPECT_EQ(version.version, "1.0");
    EXPECT_TRUE(requirement->requiresAnchor());
    EXPECT_EQ(requirement->render(), kPeerRequirement);
}

TEST(RequirementParsing, SpacingBetweenTokensDoesNotMatter) {
    const std::string_view variants[] = {
        "identifier \"com.vornik.app\"\tand\nanchor  apple generic and certificate leaf [ subject.OU ]=\"Q4ZK2M7WXR\" "
        "and info[CFBundleShortVersionString]>=\"1.0\"",
        "  identifier\"com.vornik.app\" and anchor apple generic and certificate leaf[subject.OU] = \"Q4ZK2M7WXR\" "
        "and info [CFBundleShortVersionString] >= \"1.0\"\r\n",
    };
    const auto canonical = peerRequirement();
    for (const auto text : variants) {
        SCOPED_TRACE(std::string(text));
        const auto requirement = CodeSigningRequirement::parse(text);
        ASSERT_TRUE(requirement.has_value());
        EXPECT_EQ(*requirement, canonical);
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
        "",
        "   ",
        // extra or missing tokens
        R"(identifier "com.vornik.app" and)",
        R"(and identifier "com.vornik.app")",
        R"(identifier "com.vornik.app" and and anchor apple generic)",
        R"(identifier "com.vornik.app" "com.vornik.app")",
        R"(identifier "com.vornik.app" anchor apple generic)",
        R"(anchor apple generic generic)",
        R"(identifier)",
        R"(identifier com.vornik.app)",
        R"(identifier = "com.vornik.app")",
        // clauses of the platform's language this stand-in cannot evaluate
        R"(anchor apple)",
        R"(anchor trusted)",
        R"(anchor apple generic[field.1.2.840.113635.100.6.2.6])",
        R"(certificate root[subject.OU] = "Q4ZK2M7WXR")",
        R"(certificate leaf[subject.CN] = "Q4ZK2M7WXR")",
        R"(cert leaf[subject.OU] = "Q4ZK2M7WXR")",
        R"(certificate leaf[subject.OU] >= "Q4ZK2M7WXR")",
        R"(certificate leaf[subject.OU] exists)",
        R"(info [CFBundleVersion] >= "1.0")",
        R"(info [CFBundleShortVersionString] exists)",
        R"(entitlement ["com.apple.security.app-sandbox"] exists)",
        R"(cdhash H"0123456789abcdef0123456789abcdef01234567")",
        R"(Identifier "com.vornik.app")",
        R"(identifier "com.vornik.app" AND anchor apple generic)",
        // combinators
        R"(identifier "com.vornik.app" or anchor apple generic)",
        R"((identifier "com.vornik.app"))",
        R"(identifier "com.vornik.app" and (anchor apple generic))",
        R"(! identifier "com.evil")",
        R"(identifier "com.vornik.app" /* comment */)",
        // unbalanced or unusual quoting
        R"(identifier "com.vornik.app)",
        R"(identifier com.vornik.app")",
        R"(identifier "com.vornik.app"")",
        R"(identifier "")",
        R"(identifier "com.vornik\".app")",
        R"(identifier "com.vornik\\app")",
        "identifier \"com.vornik.app\x01\"",
        "identifier \"com.vornik.app\n\"",
        "identifier \"com.vornik.äpp\"",
        std::string_view("identifier \"com.vornik.app\0\"", 28),
        std::string_view("identifier \"com.vornik.app\"\0", 28),
        // versions and operators
        R"(info [CFBundleShortVersionString] >= "1.0b")",
        R"(info [CFBundleShortVersionString] >= "1..0")",
        R"(info [CFBundleShortVersionString] >= 1.0)",
        R"(info [CFBundleShortVersionString] == "1.0")",
        R"(info [CFBundleShortVersionString] => "1.0")",
        R"(info [CFBundleShortVersionString] != "1.0")",
        R"(info [CFBundleShortVersionString] <> "1.0")",
        R"(info [CFBundleShortVersionString "1.0")",
        R"(info CFBundleShortVersionString] >= "1.0")",
        R"(info [[CFBundleShortVersionString]] >= "1.0")",
    };
    for (const auto text : refused) {
        SCOPED_TRACE(std::string(text));
        EXPECT_FALSE(CodeSigningRequirement::parse(text).has_value());
    }
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
}

TEST(RequirementParsing, EveryVersionOperatorReadsAndRendersBack) {
    const std::pair<std::string_view, VersionRelation> operators[] = {
        {"=", VersionRelation::equal},          {"<", VersionRelation::less},
        {">", VersionRelation::greater},        {"<=", VersionRelation::lessOrEqual},
        {">=", VersionRelation::greaterOrEqual},
    };
    for (const auto& [op, relation] : operators) {
        const std::string text = "info [CFBundleShortVersionString] " + std::string(op) + " \"2.1\"";
        SCOPED_TRACE(text);
        const auto requirement = CodeSigningRequirement::parse(text);
        ASSERT_TRUE(requirement.has_value());
        EXPECT_EQ(std::get<ShortVersionClause>(requirement->clauses().at(0)).relation, relation);
        EXPECT_EQ(requirement->render(), text);
        EXPECT_FALSE(requirement->requiresAnchor());
    }
}

TEST(RequirementEvaluation, TheAppsOwnIdentitySatisfiesEveryClause) {
    const auto requirement = peerRequirement();
    EXPECT_EQ(requirement.firstUnsatisfiedClause(kAppIdentity, AnchorEvidence::anchored), std::nullopt);
    for (const std::string_view version : {"1", "1.0.0", "1.10", "2.0", "10"}) {
        CodeIdentity identity = kAppIdentity;
        identity.shortVersion = version;
        EXPECT_EQ(requirement.firstUnsatisfiedClause(identity, AnchorEvidence::anchored), std::nullopt) << version;
    }
}

TEST(RequirementEvaluation, EachClauseRefusesOnItsOwn) {
    const auto requirement = peerRequirement();
    struct Case {
        std::string_view what;
        CodeIdentity identity;
        AnchorEvidence anchor;
        ClauseKind failing;
    };
    const Case cases[] = {
        {"identifier extended", {"com.vornik.appx", "Q4ZK2M7WXR", "1.0"}, AnchorEvidence::anchored, ClauseKind::identifier},
        {"identifier prefix", {"com.vornik.ap", "Q4ZK2M7WXR", "1.0"}, AnchorEvidence::anchored, ClauseKind::identifier},
        {"identifier case", {"com.Vornik.app", "Q4ZK2M7WXR", "1.0"}, AnchorEvidence::anchored, ClauseKind::identifier},
        {"anchor", kAppIdentity, AnchorEvidence::notAnchored, ClauseKind::anchorAppleGeneric},
        {"team", {"com.vornik.app", "Q4ZK2M7WXS", "1.0"}, AnchorEvidence::anchored, ClauseKind::leafTeam},
        {"team case", {"com.vornik.app", "q4zk2m7wxr", "1.0"}, AnchorEvidence::anchored, ClauseKind::leafTeam},
        {"team prefix", {"com.vornik.app", "Q4ZK2M7WX", "1.0"}, AnchorEvidence::anchored, ClauseKind::leafTeam},
        {"version 0.9", {"com.vornik.app", "Q4ZK2M7WXR", "0.9"}, AnchorEvidence::anchored, ClauseKind::shortVersion},
        {"version 0.99.99", {"com.vornik.app", "Q4ZK2M7WXR", "0.99.99"}, AnchorEvidence::anchored,
         ClauseKind::shortVersion},
        {"version not numeric", {"com.vornik.app", "Q4ZK2M7WXR", "1.0-beta"}, AnchorEvidence::anchored,
         ClauseKind::shortVersion},
        {"version empty", {"com.vornik.app", "Q4ZK2M7WXR", ""}, AnchorEvidence::anchored, ClauseKind::shortVersion},
        // Several failures: the first in text order is the one reported.
        {"identifier before anchor", {"com.evil", "Q4ZK2M7WXR", "1.0"}, AnchorEvidence::notAnchored,
         ClauseKind::identifier},
        {"anchor before team", {"com.vornik.app", "EVIL", "0.1"}, AnchorEvidence::notAnchored,
         ClauseKind::anchorAppleGeneric},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what));
        EXPECT_EQ(requirement.firstUnsatisfiedClause(c.identity, c.anchor), c.failing);
    }
}

TEST(RequirementEvaluation, VersionOperatorsCompareAsVersions) {
    struct Case {
        std::string_view op;
        std::string_view peerVersion;
        bool holds;
    };
    // Requirement version "1.9" throughout.
    const Case cases[] = {
        {">=", "1.10", true}, {">=", "1.9.0", true}, {">=", "1.8", false},  {">", "1.9", false},
        {">", "1.9.1", true}, {"<", "1.8.99", true}, {"<", "1.10", false},  {"<=", "1.9", true},
        {"<=", "2", false},   {"=", "1.9.0", true},  {"=", "1.90", false},  {"=", "1.9-rc", false},
        {"<", "abc", false},  {">=", "", false},
    };
    for (const auto& c : cases) {
        const std::string text = "info [CFBundleShortVersionString] " + std::string(c.op) + " \"1.9\"";
        SCOPED_TRACE(text + " with peer version " + std::string(c.peerVersion));
        const auto requirement = CodeSigningRequirement::parse(text);
        ASSERT_TRUE(requirement.has_value());
        const CodeIdentity identity{"x", "y", std::string(c.peerVersion)};
        EXPECT_EQ(!requirement->firstUnsatisfiedClause(identity, AnchorEvidence::anchored).has_value(), c.holds);
    }
}

TEST(RequirementEvaluation, WithoutAnAnchorClauseTheAnchorIsNotConsulted) {
    const auto requirement = CodeSigningRequirement::parse(R"(identifier "com.vornik.app")");
    ASSERT_TRUE(requirement.has_value());
    EXPECT_FALSE(requirement->requiresAnchor());
    EXPECT_EQ(requirement->firstUnsatisfiedClause(kAppIdentity, AnchorEvidence::notAnchored), std::nullopt);
}

}  // namespace
}  // namespace smcd::platform
