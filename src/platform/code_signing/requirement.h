#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/code_signing/code_identity.h"

namespace smcd::platform {

// `identifier "…"`: the signing identifier equals the text exactly.
struct IdentifierClause {
    std::string identifier;
    friend bool operator==(const IdentifierClause&, const IdentifierClause&) = default;
};

// `anchor apple generic`: on Linux, the executable is one only root could
// have put in place (see ExecutableAnchor).
struct AnchorAppleGenericClause {
    friend bool operator==(const AnchorAppleGenericClause&, const AnchorAppleGenericClause&) = default;
};

// `certificate leaf[subject.OU] = "…"`: the developer team equals the text.
struct LeafTeamClause {
    std::string teamIdentifier;
    friend bool operator==(const LeafTeamClause&, const LeafTeamClause&) = default;
};

enum class VersionRelation { equal, less, greater, lessOrEqual, greaterOrEqual };

// `info [CFBundleShortVersionString] <op> "…"`, compared as versions.
struct ShortVersionClause {
    VersionRelation relation;
    std::string version;
    friend bool operator==(const ShortVersionClause&, const ShortVersionClause&) = default;
};

using RequirementClause = std::variant<IdentifierClause, AnchorAppleGenericClause, LeafTeamClause, ShortVersionClause>;

enum class ClauseKind { identifier, anchorAppleGeneric, leafTeam, shortVersion };

// Whether the peer's executable passed the anchor stand-in.
enum class AnchorEvidence { anchored, notAnchored };

inline constexpr std::string_view kShortVersionInfoKey = "CFBundleShortVersionString";

// A code-signing requirement in the subset of the platform's requirement
// language that a Linux peer can be held to: clauses joined by `and`, each one
// of the four above. Everything else (`or`, `!`, parentheses, other anchors,
// other certificate fields, other info keys, unquoted values, a value that is
// no version in a version clause) is refused when parsing, so that a
// requirement is never enforced more loosely than it reads.
class CodeSigningRequirement {
public:
    static std::optional<CodeSigningRequirement> parse(std::string_view text);

    const std::vector<RequirementClause>& clauses() const noexcept { return clauses_; }
    bool requiresAnchor() const noexcept;

    // Canonical text: one space between tokens, clauses joined by " and ".
    std::string render() const;

    // The first clause, in text order, that the identity and the anchor
    // evidence do not satisfy; nothing when all hold.
    std::optional<ClauseKind> firstUnsatisfiedClause(const CodeIdentity& identity, AnchorEvidence anchor) const;

    friend bool operator==(const CodeSigningRequirement&, const CodeSigningRequirement&) = default;

private:
    explicit CodeSigningRequirement(std::vector<RequirementClause> clauses) : clauses_(std::move(clauses)) {}

    std::vector<RequirementClause> clauses_;
};

ClauseKind kindOf(const RequirementClause& clause);

}  // namespace smcd::platform
