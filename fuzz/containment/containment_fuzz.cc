// libFuzzer target for the removal engine's containment check. The first
// byte picks the mode:
//  0: the root is one of a fixed list, the rest is the path;
//  1: the rest is "root\npath";
//  2: the root is a real scratch folder, spelled one of several ways, and
//     the path is that spelling, "/", and the rest;
//  3: the root is the scratch folder spelled as in 2, the rest is the path.
// Invariants:
//  - relativeComponents agrees with an independent model (split at "/",
//    empty pieces dropped; the root's components equal the path's first ones
//    under canonical equivalence, judged here through NFD rather than NFC;
//    no "." or ".." anywhere; something left below the root; no NUL);
//  - in modes 2 and 3 the engine then runs for real: a path the model
//    refuses fails with outsideRoot and changes nothing; whatever happens,
//    the sentinel folder beside the root and the root itself survive; a
//    success leaves nothing at the named place; no descriptor stays open.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <utf8proc.h>

#include "support/fuzz_input.h"
#include "removal/safe_removal.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void violated(const char* invariant) {
    std::fprintf(stderr, "containment_fuzz: invariant broken: %s\n", invariant);
    std::abort();
}

// ---- the model ---------------------------------------------------------

std::vector<std::string> pieces(std::string_view path) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (i > start) out.emplace_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

std::optional<std::string> decomposed(std::string_view text) {
    utf8proc_uint8_t* out = nullptr;
    const utf8proc_ssize_t n =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                     &out, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
    if (n < 0) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

bool sameName(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const auto da = decomposed(a);
    const auto db = decomposed(b);
    return da && db && *da == *db;
}

std::optional<std::vector<std::string>> modelComponents(std::string_view path, std::string_view root) {
    if (path.find('\0') != std::string_view::npos || root.find('\0') != std::string_view::npos) return std::nullopt;
    const auto rootNames = pieces(root);
    const auto pathNames = pieces(path);
    if (rootNames.size() >= pathNames.size()) return std::nullopt;
    for (std::size_t i = 0; i < rootNames.size(); ++i)
        if (!sameName(pathNames[i], rootNames[i])) return std::nullopt;
    for (const auto& name : pathNames)
        if (name == "." || name == "..") return std::nullopt;
    return std::vector<std::string>(pathNames.begin() + static_cast<std::ptrdiff_t>(rootNames.size()), pathNames.end());
}

void checkAgainstModel(std::string_view path, std::string_view root) {
    const auto actual = smcd::SafeRemoval::relativeComponents(path, root);
    const auto expected = modelComponents(path, root);
    if (actual.has_value() != expected.has_value())
        violated(actual ? "containment accepts only what the model accepts" : "containment refuses only what the model refuses");
    if (actual && *actual != *expected) violated("containment yields the names below the root, as sent");
    if (!actual) return;
    if (actual->empty()) violated("an accepted path leaves a name below the root");
    for (const auto& name : *actual)
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
            violated("every name to walk is one plain name");
}

// ---- the scratch tree ----------------------------------------------------

using smcd::fuzz::openDescriptors;

// path relative to the base -> type letter and, for files, contents
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const fs::path& top, const fs::path& base) {
    Snapshot entries;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(top))) return entries;
    for (auto it = fs::recursive_directory_iterator(top, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const auto status = it->symlink_status();
        std::string description;
        if (fs::is_symlink(status)) {
            description = "l:" + fs::read_symlink(it->path(), error).string();
        } else if (fs::is_directory(status)) {
            description = "d";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            description = "f:" + std::string(std::istreambuf_iterator<char>(in), {});
        }
        entries[fs::relative(it->path(), base).string()] = description;
    }
    return entries;
}

class ScratchTree {
public:
    ScratchTree() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/containment_fuzz.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) violated("a scratch folder can be made");
        base_ = pattern;
        fs::create_directories(base_ / "outside" / "dir");
        write(base_ / "outside" / "keep", "sentinel");
        write(base_ / "outside" / "dir" / "deep", "sentinel");
        outside_ = snapshot(base_ / "outside", base_);
    }
    ~ScratchTree() {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    const fs::path& base() const { return base_; }
    const Snapshot& outside() const { return outside_; }
    const Snapshot& pristine() const { return pristine_; }

    // The same tree before every run: nested folders, one name in both
    // normal forms (a folder and a file), links to the sentinel, an empty folder.
    // A run that was refused left it as it was, so only others rebuild it.
    void prepare() {
        if (dirty_) build();
        dirty_ = true;
    }
    void leftUntouched() { dirty_ = false; }

private:
    void build() {
        const fs::path root = base_ / "root";
        std::error_code ignored;
        fs::remove_all(root, ignored);
        fs::create_directories(root / "a" / "b");
        fs::create_directories(root / "caf\xC3\xA9");
        fs::create_directories(root / "empty");
        write(root / "a" / "b" / "file", "x");
        write(root / "caf\xC3\xA9" / "inside", "x");
        write(root / "cafe\xCC\x81", "x");
        write(root / "file", "x");
        fs::create_directory_symlink("../outside", root / "link");
        fs::create_symlink("../outside/keep", root / "filelink");
        fs::create_directory_symlink("../../outside/dir", root / "a" / "uplink");
        if (pristine_.empty()) pristine_ = snapshot(base_, base_);
    }

    static void write(const fs::path& path, std::string_view contents) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << contents;
    }

    fs::path base_;
    Snapshot outside_;
    Snapshot pristine_;
    bool dirty_ = true;
};

ScratchTree& scratch() {
    static ScratchTree tree;
    return tree;
}

std::string spelledRoot(std::uint8_t choice) {
    const std::string base = scratch().base().string();
    switch (choice % 6) {
        case 0: return base + "/root";
        case 1: return base + "/root/";
        case 2: return base + "//root";
        case 3: return base + "/root/caf\xC3\xA9";
        case 4: return base + "/root/a";
        default: return base + "/./root";
    }
}

bool existsNoFollow(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

void runEngine(const std::string& path, const std::string& root) {
    ScratchTree& tree = scratch();
    tree.prepare();
    const auto expected = modelComponents(path, root);
    const std::size_t descriptors = openDescriptors();

    const auto removed = smcd::SafeRemoval::remove(path, root);
    const auto failure = removed ? std::nullopt : std::optional(removed.error());

    if (openDescriptors() != descriptors) violated("the engine closes every descriptor it opened");
    if (snapshot(tree.base() / "outside", tree.base()) != tree.outside()) violated("nothing outside the root is touched");
    if (!existsNoFollow(tree.base() / "root") || !existsNoFollow(root)) violated("the root itself is never removed");
    if (!expected) {
        if (!failure || failure->kind != smcd::SafeRemoval::Failure::Kind::outsideRoot)
            violated("a path outside the root fails with outsideRoot");
        if (snapshot(tree.base(), tree.base()) != tree.pristine()) violated("a refused path changes nothing");
        tree.leftUntouched();
        return;
    }
    if (failure && failure->kind == smcd::SafeRemoval::Failure::Kind::outsideRoot)
        violated("outsideRoot only for paths outside the root");
    if (!failure) {
        std::string named = root;
        for (const auto& name : *expected) named += "/" + name;
        if (existsNoFollow(named)) violated("a completed removal leaves nothing at the named place");
    }
}

const std::string_view kRoots[] = {
    "/Library/Caches", "/var/folders", "/Users", "/", "", "//", "Library/Caches", "/Library/Caches/",
    "/Applications/Utilities", "/Library/Apple/usr/share/rosetta/rosetta_update_bundle",
    "/Users/ann/caf\xC3\xA9", "/Users/ann/cafe\xCC\x81", "/a/./b", "/a/../b", "/\xE2\x84\xAA",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t mode = data[0] % 4;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    switch (mode) {
        case 0:
            checkAgainstModel(rest, kRoots[data[1] % std::size(kRoots)]);
            break;
        case 1: {
            const std::size_t split = rest.find('\n');
            if (split == std::string_view::npos) {
                checkAgainstModel(rest, rest);
            } else {
                checkAgainstModel(rest.substr(split + 1), rest.substr(0, split));
            }
            break;
        }
        default: {
            const std::string root = spelledRoot(data[1]);
            const std::string path = mode == 2 ? root + "/" + std::string(rest) : std::string(rest);
            checkAgainstModel(path, root);
            runEngine(path, root);
            break;
        }
    }
    return 0;
}
