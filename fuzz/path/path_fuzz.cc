// libFuzzer target for path standardization and the lexical check. The first
// byte chooses what "exists" answers during standardization; the rest is the
// path. Invariants:
//  - standardization with injected lookups equals an independent rewriting
//    model (tilde, slashes, ".", "..", trailing "/", "/private" dropped only
//    when the shorter path exists); an absolute result has no empty, "." or
//    ".." component and standardizes to itself, but for one more "/private";
//  - the lexical check accepts exactly the absolute, NUL-free, valid UTF-8
//    paths made of plain names; an accepted path is its own standard form,
//    or that form behind "/private", and its standard form is accepted too;
//  - the component split keeps every name's bytes, marks the root and a
//    trailing "/", and the parent of a clean path is the text before its
//    last "/".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unicode.h"
#include "platform/path/path_components.h"
#include "platform/path/standardized_path.h"
#include "removal/screening.h"
#include "rewriting_model.h"

namespace {

[[noreturn]] void violated(const char* invariant) {
    std::fprintf(stderr, "path_fuzz: invariant broken: %s\n", invariant);
    std::abort();
}

std::optional<std::string> homeOf(std::string_view user) {
    if (user.empty()) return "/Users/ann";
    if (user == "bob") return "/Users/bob/";
    if (user == "root") return "/";
    if (user == "rel") return "relative/home";
    if (user == "dots") return "/a/../b/.";
    return std::nullopt;
}

bool existsIn(std::uint8_t world, const std::string& path) {
    switch (world % 4) {
        case 0: return false;
        case 1: return true;
        case 2:
            return path == "/var" || path == "/tmp" || path == "/etc" || path == "/var/db" || path == "/var/folders" ||
                   path == "/Users" || path == "/private/var";
        default: return path.size() % 2 == 0;
    }
}

std::vector<std::string> pieces(std::string_view path) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        if (i > start) out.emplace_back(path.substr(start, i - start));
        start = i + 1;
    }
    return out;
}

void checkStandardization(std::string_view path, std::uint8_t world) {
    const smcd::platform::PathLookups lookups{homeOf, [world](const std::string& p) { return existsIn(world, p); }};
    const smcd::fuzz::ModelLookups model{homeOf, [world](const std::string& p) { return existsIn(world, p); }};

    const std::string standard = smcd::platform::standardizingPath(path, lookups);
    if (standard != smcd::fuzz::standardizedByRewriting(path, model)) violated("standardization agrees with the rewriting model");
    if (standard.empty() || standard.front() != '/') return;
    if (!smcd::fuzz::isLexicallyClean(standard)) violated("an absolute standard form holds plain names only");
    const std::string again = smcd::platform::standardizingPath(standard, lookups);
    if (again != standard && "/private" + again != standard) violated("a standard form standardizes to itself");
}

void checkLexicalCheck(std::string_view path) {
    const bool accepted = smcd::PrivilegedRemoval::isCanonicalAbsolute(path);
    const bool expected = path.find('\0') == std::string_view::npos && smcd::unicode::isValidUtf8(path) &&
                          smcd::fuzz::isLexicallyClean(path);
    if (accepted != expected) violated(accepted ? "the lexical check accepts only clean absolute text" : "the lexical check accepts every clean absolute text");
    if (!accepted) return;
    const std::string standard = smcd::platform::standardizingPath(path);
    if (standard != path && "/private" + standard != path) violated("an accepted path is its own standard form");
    if (!smcd::PrivilegedRemoval::isCanonicalAbsolute(standard)) violated("the lexical check is idempotent");
}

void checkComponents(std::string_view path) {
    const std::vector<std::string> names = pieces(path);
    std::vector<std::string> expected;
    if (!path.empty() && path.front() == '/') expected.emplace_back("/");
    expected.insert(expected.end(), names.begin(), names.end());
    if (!names.empty() && path.back() == '/') expected.emplace_back("/");
    if (smcd::platform::pathComponents(path) != expected) violated("the component split keeps names and marks the slashes");

    if (!smcd::fuzz::isLexicallyClean(path)) return;
    const std::size_t last = path.rfind('/');
    const std::string parent = last == 0 ? "/" : std::string(path.substr(0, last));
    if (smcd::platform::deletingLastPathComponent(path) != parent) violated("a clean path's parent is the text before its last slash");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view path(reinterpret_cast<const char*>(data) + 1, size - 1);
    checkStandardization(path, data[0]);
    checkLexicalCheck(path);
    checkComponents(path);
    return 0;
}
