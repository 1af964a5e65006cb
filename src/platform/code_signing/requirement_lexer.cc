#include "platform/code_signing/requirement_lexer.h"

#include "platform/code_signing/code_identity.h"

namespace smcd::platform {
namespace {

bool isWordStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isWordContinuation(char c) {
    return isWordStart(c) || (c >= '0' && c <= '9') || c == '.';
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::optional<std::vector<RequirementToken>> tokenizeRequirement(std::string_view text) {
    if (text.size() > kMaxRequirementTextLength) return std::nullopt;
    std::vector<RequirementToken> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (isSpace(c)) {
            ++i;
        } else if (isWordStart(c)) {
            const std::size_t start = i;
            while (i < text.size() && isWordContinuation(text[i])) ++i;
            tokens.push_back({RequirementTokenKind::word, std::string(text.substr(start, i - start))});
        } else if (c == '"') {
            const std::size_t close = text.find('"', i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            const std::string_view quoted = text.substr(i + 1, close - i - 1);
            if (!isPlainIdentityText(quoted)) return std::nullopt;
            tokens.push_back({RequirementTokenKind::quotedText, std::string(quoted)});
            i = close + 1;
        } else if (c == '[') {
            tokens.push_back({RequirementTokenKind::leftBracket, {}});
            ++i;
        } else if (c == ']') {
            tokens.push_back({RequirementTokenKind::rightBracket, {}});
            ++i;
        } else if (c == '=' || c == '<' || c == '>') {
            std::string op(1, c);
            if (c != '=' && i + 1 < text.size() && text[i + 1] == '=') op.push_back('=');
            i += op.size();
            tokens.push_back({RequirementTokenKind::comparison, std::move(op)});
        } else {
            return std::nullopt;
        }
    }
    return tokens;
}

}  // namespace smcd::platform
