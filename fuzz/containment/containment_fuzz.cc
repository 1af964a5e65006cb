// libFuzzer target for the removal engine's containment check. The first
// byte picks the mode, the second a root:
//  0, 1: the rest is "root\npath" (no root without the line break);
//  2: the root is a scratch folder, spelled one of several ways, and the path
//     is that spelling, "/" and the rest;
//  3: the root is spelled as in 2, the rest is the path.
// Invariants, none of which needs a second implementation:
//  - every name the check yields is one plain name, and the path, its "/"
//    runs and a trailing "/" aside, ends with those names;
//  - in modes 2 and 3 the engine runs for real: the sentinel beside the root
//    and the root itself survive whatever happens; a refused path fails with
//    outsideRoot and changes nothing; a success leaves nothing at the named
//    place; no descriptor stays open.

#include "removal/safe_removal.h"
#include "support/fuzz_input.h"

namespace {

namespace fs = std::filesystem;
using smcd::fuzz::violated;

// The names below the root, each behind a "/", or nothing.
std::optional<std::string> checkedNames(std::string_view path, std::string_view root) {
    const auto names = smcd::removal::relativeComponents(path, root);
    if (!names) return std::nullopt;
    if (names->empty()) violated("an accepted path leaves a name below the root");
    std::string joined;
    for (const auto& name : *names) {
        if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
            violated("every name to walk is one plain name", name);
        joined += "/" + name;
    }
    std::string collapsed = "/";
    for (const char c : path)
        if (c != '/' || collapsed.back() != '/') collapsed.push_back(c);
    if (collapsed.size() > 1 && collapsed.back() == '/') collapsed.pop_back();
    if (!collapsed.ends_with(joined)) violated("the names are the end of the path as sent", path);
    return joined;
}

// A scratch folder holding "outside" (the sentinel) and "root", rebuilt
// before every run: nested folders, one name in both normal forms, links to
// the sentinel, an empty folder. It goes when the process exits.
fs::path rebuiltScratch() {
    static const fs::path base = fs::temp_directory_path() / ("containment_fuzz." + std::to_string(::getpid()));
    [[maybe_unused]] static const int removedAtExit = std::atexit([] { std::filesystem::remove_all(base); });
    fs::remove_all(base);
    for (const char* folder : {"outside/dir", "root/a/b", "root/caf\xC3\xA9", "root/empty"}) fs::create_directories(base / folder);
    for (const char* file :
         {"outside/keep", "outside/dir/deep", "root/a/b/file", "root/caf\xC3\xA9/inside", "root/cafe\xCC\x81", "root/file"})
        std::ofstream(base / file) << "sentinel";
    fs::create_directory_symlink("../outside", base / "root" / "link");
    fs::create_symlink("../outside/keep", base / "root" / "filelink");
    fs::create_directory_symlink("../../outside/dir", base / "root" / "a" / "uplink");
    return base;
}

bool present(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

void runEngine(const fs::path& scratch, const std::string& path, const std::string& root) {
    const auto names = checkedNames(path, root);
    const auto sentinel = smcd::fuzz::treeContents(scratch / "outside");
    const auto before = smcd::fuzz::treeContents(scratch);
    const std::size_t descriptors = smcd::fuzz::openDescriptors();
    const auto removed = smcd::removal::remove(path, root, 0);
    if (smcd::fuzz::openDescriptors() != descriptors) violated("the engine closes every descriptor it opened");
    if (smcd::fuzz::treeContents(scratch / "outside") != sentinel) violated("nothing outside the root is touched", path);
    if (!present(scratch / "root") || !present(root)) violated("the root itself is never removed", path);
    const bool outside = !removed && removed.error().kind == smcd::removal::Failure::Kind::outsideRoot;
    if (outside != !names) violated("outsideRoot exactly for the paths the check refuses", path);
    if (!names && smcd::fuzz::treeContents(scratch) != before) violated("a refused path changes nothing", path);
    if (removed && present(root + names.value_or(""))) violated("a completed removal leaves nothing at the named place", path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    if (data[0] % 4 < 2) {
        const std::size_t split = std::min(rest.find('\n'), rest.size());
        static_cast<void>(checkedNames(rest.substr(std::min(split + 1, rest.size())), rest.substr(0, split)));
        return 0;
    }
    const fs::path scratch = rebuiltScratch();
    const std::string spellings[] = {"/root", "/root/", "//root", "/root/caf\xC3\xA9", "/root/a", "/./root"};
    const std::string root = scratch.string() + spellings[data[1] % std::size(spellings)];
    runEngine(scratch, data[0] % 4 == 2 ? root + "/" + std::string(rest) : std::string(rest), root);
    return 0;
}
