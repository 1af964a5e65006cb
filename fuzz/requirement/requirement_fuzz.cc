// libFuzzer target for the requirement parser. Invariants:
//  - text that parses renders to canonical text that parses to the same
//    requirement and renders identically again;
//  - accepted text is the canonical text up to whitespace, so nothing outside
//    the grammar (an `or`, a parenthesis, a stray token) is ever accepted;
//  - the original and the re-parsed requirement judge every probe identity alike.

#include "platform/code_signing/requirement.h"
#include "support/fuzz_input.h"

namespace {

using smcd::platform::AnchorEvidence;
using smcd::platform::CodeSigningRequirement;
using smcd::fuzz::violated;

std::string withoutWhitespace(std::string_view text) {
    std::string out;
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') out.push_back(c);
    return out;
}

const smcd::platform::CodeIdentity kProbes[] = {{"com.vornik.app", "Q4ZK2M7WXR", "1.0"}, {"com.vornik.app", "Q4ZK2M7WXR", "0.9"},
                                 {"com.vornik.app", "Q4ZK2M7WXR", "1.10"}, {"com.vornik.appx", "Q4ZK2M7WXR", "1.0"},
                                 {"com.vornik.app", "OTHERTEAM1", "2"}, {"a", "b", "1.0b"}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto requirement = CodeSigningRequirement::parse(text);
    if (!requirement) return 0;

    if (requirement->clauses().empty()) violated("an accepted requirement has clauses");
    const std::string canonical = requirement->render();
    if (withoutWhitespace(canonical) != withoutWhitespace(text)) violated("accepted text is the canonical text");

    const auto reparsed = CodeSigningRequirement::parse(canonical);
    if (!reparsed) violated("canonical text parses");
    if (!(*reparsed == *requirement)) violated("canonical text means the same");
    if (reparsed->render() != canonical) violated("rendering is stable");

    for (const auto& identity : kProbes)
        for (const auto anchor : {AnchorEvidence::anchored, AnchorEvidence::notAnchored})
            if (requirement->firstUnsatisfiedClause(identity, anchor) != reparsed->firstUnsatisfiedClause(identity, anchor))
                violated("evaluation is the same after re-parsing");
    return 0;
}
