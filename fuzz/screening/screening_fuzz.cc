// libFuzzer target for path screening and the removal flow, run inside the
// test sandbox over a fixed tree planted at and around the removal roots,
// links to a sentinel outside every root included. The input picks a family,
// a peer, Trash or permanent and up to three paths from a small grammar of
// bases, names (".", "..", "é" in both normal forms, ...) and spellings.
// Invariants:
//  - an accepted path has plain names only and lies strictly below a root of
//    its family as text; a path in a home is accepted only for its owner;
//  - a request yields one record per distinct path, the refused ones first
//    and never marked removed;
//  - the sentinel never changes and no descriptor stays open.

#include "common/unicode.h"
#include "platform/log/logger.h"
#include "removal/removal_flow.h"
#include "removal/screening.h"
#include "support/fuzz_input.h"

namespace {

namespace fs = std::filesystem;
namespace removal = smcd::removal;
using smcd::fuzz::violated;

constexpr std::string_view kBases[] = {
    "/Library/Caches", "/var/folders/zz/yy/C", "/Users/ann", "/Applications", "/private/var/log",
    "/Library/Apple/usr/share/rosetta/rosetta_update_bundle", "/Users/bob", "/sentinel",
};
constexpr std::string_view kNames[] = {
    ".", "..", "a", "\xC3\xA9", "e\xCC\x81", "Library", "Caches", "x.app", "com.apple.metal", "Applications", "link",
};

// Plants what is missing; whatever a request removed comes back.
void plant() {
    std::error_code ignored;
    for (const std::string_view name : kBases) {
        const fs::path base(name);
        for (const char* folder : {"a/a", "Library/Caches/a", "Applications/x.app", "com.apple.metal/a", "x.app", "\xC3\xA9"})
            fs::create_directories(base / folder, ignored);
        if (!fs::exists(base / "a" / "file")) std::ofstream(base / "a" / "file") << "item";
        for (const char* link : {"link", "a/link"}) fs::create_directory_symlink("/sentinel/a", base / link, ignored);
    }
}

std::string pathFrom(smcd::fuzz::ByteReader& input) {
    std::string path(kBases[input.next() % std::size(kBases)]);
    const std::uint8_t spelling = input.next();
    if (spelling & 1) path = path.starts_with("/private/") ? path.substr(std::string_view("/private").size()) : "/private" + path;
    for (std::size_t count = input.next() % 6, i = 0; i < count; ++i)
        path += ((spelling & 2) && i == 0 ? "//" : "/") + std::string(kNames[input.next() % std::size(kNames)]);
    return (spelling & 4) ? path + "/" : path;
}

// One normal form, and /var as such rather than through /private.
std::string plainSpelling(std::string_view path) {
    return smcd::unicode::canonicalForm(path.starts_with("/private/var/") ? path.substr(std::string_view("/private").size()) : path);
}

void checkAccepted(const std::string& sent, removal::Target family, uid_t owner) {
    const std::string path = plainSpelling(sent);
    if (!smcd::fuzz::plainNamesOnly(path) || path == "/") violated("an accepted path has plain names only", sent);
    const std::vector<std::string>* roots[] = {&removal::applicationRoots(),    &removal::supportRoots(),
                                               &removal::systemCacheRoots(),    &removal::systemLogRoots(),
                                               &removal::gpuShaderCacheRoots(), &removal::rosettaCacheRoots()};
    bool placed = family <= removal::Target::supportFile && path.starts_with("/Users/");
    for (const auto& root : *roots[static_cast<int>(family)]) placed = placed || path.starts_with(plainSpelling(root) + "/");
    if (!placed) violated("an accepted path lies strictly below a root of its family", sent);
    struct stat home {};
    const std::string homePath = path.substr(0, path.find('/', std::string_view("/Users/").size()));
    if (path.starts_with("/Users/") && (::lstat(homePath.c_str(), &home) != 0 || home.st_uid != owner))
        violated("a path in a home is accepted only for its owner", sent);
}

// Refusals are logged; thousands of lines a second would drown the fuzzer's own.
struct QuietSink final : smcd::platform::LogSink {
    void write(const smcd::platform::LogRecord&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static QuietSink quiet;
    smcd::platform::installLogSink(&quiet);
    if (const char* inside = std::getenv("SMCD_IN_SANDBOX"); inside != nullptr && std::string_view(inside) == "1") return 0;
    std::fprintf(stderr, "screening_fuzz: changes /Library, /Users and /var: run it in tests/sandbox/run-in-sandbox.sh\n");
    std::exit(1);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    plant();
    static const auto sentinel = smcd::fuzz::treeContents("/sentinel");
    fs::remove_all("/private/var/root/.local/share/Trash");
    smcd::fuzz::ByteReader input{std::string_view(reinterpret_cast<const char*>(data), size)};
    const auto family = static_cast<removal::Target>(input.next() % 6);
    const uid_t owners[] = {501, 502, 0}, owner = owners[input.next() % 3];
    const bool permanent = input.next() % 2 == 0;
    std::vector<std::string> paths;
    for (std::size_t count = input.next() % 3 + 1; paths.size() < count;) paths.push_back(pathFrom(input));

    const auto verdict = removal::screen(paths, family, owner);
    for (const auto& path : verdict.allowed) checkAccepted(path, family, owner);
    const std::size_t descriptors = smcd::fuzz::openDescriptors();
    const auto results = removal::removePaths(paths, family, permanent, owner);
    if (smcd::fuzz::openDescriptors() != descriptors) violated("a request closes every descriptor it opened");
    if (smcd::fuzz::treeContents("/sentinel") != sentinel) violated("the sentinel outside every root is never touched");

    const std::size_t refused = verdict.refused.size();
    if (results.size() != refused + verdict.allowed.size()) violated("one record per distinct path");
    for (std::size_t i = 0; i < results.size(); ++i)
        if (results[i].path != (i < refused ? verdict.refused[i] : verdict.allowed[i - refused]) || (i < refused && results[i].removed))
            violated("records come refused first, each path as sent, the refused ones never removed", results[i].path);
    return 0;
}
