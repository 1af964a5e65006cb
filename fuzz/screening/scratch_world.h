#pragma once

// The world the screening fuzzer plays in, inside the test sandbox: a few
// folders at and around the removal roots (the bases), built up from a small
// grammar of names, and a sentinel tree outside every root that nothing the
// daemon does may ever change.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/fuzz_input.h"

namespace smcd::fuzz {

inline constexpr std::string_view kSentinel = "/sentinel";

using Reader = ByteReader;

// A base folder, then up to five names from the grammar (".", "..", "a",
// "é" composed and decomposed, and a few names the family rules care about),
// and a spelling: "/private" toggled for /var, a trailing or doubled "/".
struct GrammarPath {
    std::size_t base = 0;
    std::vector<std::size_t> names;
    std::uint8_t spelling = 0;

    static GrammarPath read(Reader& reader);
    std::string plain() const;    // as the file system is asked about it
    std::string spelled() const;  // as a client might send it
};

// One step of whoever else writes to the tree. Steps that would reach the
// sentinel, leave the bases, or act on a base itself are skipped, so only
// the code under test can ever change the sentinel.
struct AttackerStep {
    enum class Kind { makeFolders, makeFile, makeLink, rename, remove } kind = Kind::makeFolders;
    GrammarPath path;
    GrammarPath other;          // rename: destination; makeLink: target when it is a path
    std::uint8_t linkTarget = 0;

    static AttackerStep read(Reader& reader);
    void apply() const;
};

// Physical path -> what is there ("d", "f:<contents>", "l:<target>").
using Snapshot = std::map<std::string, std::string>;

void prepareWorld();  // once per process: sentinel, outside folder
void resetWorld();    // once per input: every base empty again, the Trash emptied
Snapshot snapshotWorld();
Snapshot snapshotSentinel();

// realpath of the parent, then the last name as written: where the entry a
// path names physically sits, without following the entry itself.
std::optional<std::string> physicalLocation(std::string_view path);
std::optional<std::string> realPath(std::string_view path);

}  // namespace smcd::fuzz
