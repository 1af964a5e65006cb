#include "platform/code_signing/requirement.h"

#include <algorithm>

#include "platform/code_signing/requirement_lexer.h"
#include "platform/code_signing/version_order.h"

namespace smcd::platform {
namespace {

class ClauseParser {
public:
    explicit ClauseParser(const std::vector<RequirementToken>& tokens) : tokens_(tokens) {}

    std::optional<std::vector<RequirementClause>> parseAll() {
        std::vector<RequirementClause> clauses;
        while (true) {
            auto clause = parseClause();
            if (!clause) return std::nullopt;
            clauses.push_back(std::move(*clause));
            if (atEnd()) return clauses;
            if (!takeWord("and")) return std::nullopt;
        }
    }

private:
    bool atEnd() const { return next_ == tokens_.size(); }

    const RequirementToken* take(RequirementTokenKind kind) {
        if (atEnd() || tokens_[next_].kind != kind) return nullptr;
        return &tokens_[next_++];
    }

    bool takeWord(std::string_view word) {
        if (atEnd() || tokens_[next_].kind != RequirementTokenKind::word || tokens_[next_].text != word) return false;
        ++next_;
        return true;
    }

    std::optional<std::string> takeQuoted() {
        const RequirementToken* token = take(RequirementTokenKind::quotedText);
        if (!token) return std::nullopt;
        return token->text;
    }

    std::optional<RequirementClause> parseClause() {
        if (takeWord("identifier")) {
            auto value = takeQuoted();
            if (!value) return std::nullopt;
            return IdentifierClause{std::move(*value)};
        }
        if (takeWord("anchor")) {
            if (!takeWord("apple") || !takeWord("generic")) return std::nullopt;
            return AnchorAppleGenericClause{};
        }
        if (takeWord("certificate")) {
            if (!takeWord("leaf") || !take(RequirementTokenKind::leftBracket) || !takeWord("subject.OU") ||
                !take(RequirementTokenKind::rightBracket)) {
                return std::nullopt;
            }
            const RequirementToken* op = take(RequirementTokenKind::comparison);
            if (!op || op->text != "=") return std::nullopt;
            auto value = takeQuoted();
            if (!value) return std::nullopt;
            return LeafTeamClause{std::move(*value)};
        }
        if (takeWord("info")) {
            if (!take(RequirementTokenKind::leftBracket) || !takeWord(kShortVersionInfoKey) ||
                !take(RequirementTokenKind::rightBracket)) {
                return std::nullopt;
            }
            const RequirementToken* op = take(RequirementTokenKind::comparison);
            if (!op) return std::nullopt;
            const auto relation = relationFor(op->text);
            auto value = takeQuoted();
            if (!relation || !value || !isComparableVersion(*value)) return std::nullopt;
            return ShortVersionClause{*relation, std::move(*value)};
        }
        return std::nullopt;
    }

    static std::optional<VersionRelation> relationFor(std::string_view op) {
        if (op == "=") return VersionRelation::equal;
        if (op == "<") return VersionRelation::less;
        if (op == ">") return VersionRelation::greater;
        if (op == "<=") return VersionRelation::lessOrEqual;
        if (op == ">=") return VersionRelation::greaterOrEqual;
        return std::nullopt;
    }

    const std::vector<RequirementToken>& tokens_;
    std::size_t next_ = 0;
};

std::string_view operatorText(VersionRelation relation) {
    switch (relation) {
        case VersionRelation::equal: return "=";
        case VersionRelation::less: return "<";
        case VersionRelation::greater: return ">";
        case VersionRelation::lessOrEqual: return "<=";
        case VersionRelation::greaterOrEqual: return ">=";
    }
    return "?";
}

bool relationHolds(VersionRelation relation, std::strong_ordering order) {
    switch (relation) {
        case VersionRelation::equal: return order == 0;
        case VersionRelation::less: return order < 0;
        case VersionRelation::greater: return order > 0;
        case VersionRelation::lessOrEqual: return order <= 0;
        case VersionRelation::greaterOrEqual: return order >= 0;
    }
    return false;
}

struct ClauseRenderer {
    std::string operator()(const IdentifierClause& c) const { return "identifier \"" + c.identifier + "\""; }
    std::string operator()(const AnchorAppleGenericClause&) const { return "anchor apple generic"; }
    std::string operator()(const LeafTeamClause& c) const {
        return "certificate leaf[subject.OU] = \"" + c.teamIdentifier + "\"";
    }
    std::string operator()(const ShortVersionClause& c) const {
        return "info [" + std::string(kShortVersionInfoKey) + "] " + std::string(operatorText(c.relation)) + " \"" +
               c.version + "\"";
    }
};

struct ClauseEvaluator {
    const CodeIdentity& identity;
    AnchorEvidence anchor;

    bool operator()(const IdentifierClause& c) const { return identity.identifier == c.identifier; }
    bool operator()(const AnchorAppleGenericClause&) const { return anchor == AnchorEvidence::anchored; }
    bool operator()(const LeafTeamClause& c) const { return identity.teamIdentifier == c.teamIdentifier; }
    bool operator()(const ShortVersionClause& c) const {
        const auto order = compareVersions(identity.shortVersion, c.version);
        return order && relationHolds(c.relation, *order);
    }
};

}  // namespace

ClauseKind kindOf(const RequirementClause& clause) {
    struct KindOf {
        ClauseKind operator()(const IdentifierClause&) const { return ClauseKind::identifier; }
        ClauseKind operator()(const AnchorAppleGenericClause&) const { return ClauseKind::anchorAppleGeneric; }
        ClauseKind operator()(const LeafTeamClause&) const { return ClauseKind::leafTeam; }
        ClauseKind operator()(const ShortVersionClause&) const { return ClauseKind::shortVersion; }
    };
    return std::visit(KindOf{}, clause);
}

std::optional<CodeSigningRequirement> CodeSigningRequirement::parse(std::string_view text) {
    const auto tokens = tokenizeRequirement(text);
    if (!tokens) return std::nullopt;
    auto clauses = ClauseParser(*tokens).parseAll();
    if (!clauses) return std::nullopt;
    CodeSigningRequirement requirement(std::move(*clauses));
    // The canonical text can be longer than a tightly spaced original; a
    // requirement whose own rendering could not be read back is refused.
    if (requirement.render().size() > kMaxRequirementTextLength) return std::nullopt;
    return requirement;
}

bool CodeSigningRequirement::requiresAnchor() const noexcept {
    return std::any_of(clauses_.begin(), clauses_.end(), [](const RequirementClause& clause) {
        return std::holds_alternative<AnchorAppleGenericClause>(clause);
    });
}

std::string CodeSigningRequirement::render() const {
    std::string text;
    for (const auto& clause : clauses_) {
        if (!text.empty()) text += " and ";
        text += std::visit(ClauseRenderer{}, clause);
    }
    return text;
}

std::optional<ClauseKind> CodeSigningRequirement::firstUnsatisfiedClause(const CodeIdentity& identity,
                                                                         AnchorEvidence anchor) const {
    const ClauseEvaluator evaluator{identity, anchor};
    for (const auto& clause : clauses_) {
        if (!std::visit(evaluator, clause)) return kindOf(clause);
    }
    return std::nullopt;
}

}  // namespace smcd::platform
