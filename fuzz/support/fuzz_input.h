#pragma once

// What every fuzz target needs: the input read a byte at a time, the abort
// that makes libFuzzer keep an input, a count of open descriptors for the
// no-leak invariants, what makes a path plain, a tree's contents, and the standard
// headers all of them use.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace smcd::fuzz {

// The fuzz input, one byte at a time; zeros once it runs out.
struct ByteReader {
    std::string_view bytes;
    std::uint8_t next() {
        if (bytes.empty()) return 0;
        const auto byte = static_cast<std::uint8_t>(bytes.front());
        bytes.remove_prefix(1);
        return byte;
    }
};

// scripts/fuzz.sh greps for "invariant broken" to name the finding.
[[noreturn]] inline void violated(const char* invariant, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant broken: %s %.*s\n", invariant, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// Entries of /proc/self/fd, the listing's own descriptor and "." and ".."
// included: only ever compared with another count taken the same way.
inline std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* listing = ::opendir("/proc/self/fd")) {
        while (::readdir(listing) != nullptr) ++count;
        ::closedir(listing);
    }
    return count;
}

// Absolute, and "/" or names only: no empty, "." or ".." name, no trailing "/".
inline bool plainNamesOnly(std::string_view path) {
    const std::string framed = std::string(path) + "/";
    return path == "/" || (path.starts_with("/") && framed.find("//") == std::string::npos &&
                           framed.find("/./") == std::string::npos && framed.find("/../") == std::string::npos);
}

// Every entry below `top`, links not followed, with a file's bytes or a
// link's target: equal sets mean an unchanged tree.
inline std::set<std::string> treeContents(const std::filesystem::path& top) {
    namespace fs = std::filesystem;
    std::set<std::string> entries;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(top, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const fs::file_status status = it->symlink_status();
        std::ifstream in(fs::is_regular_file(status) ? it->path() : fs::path(), std::ios::binary);
        const std::string target = fs::is_symlink(status) ? fs::read_symlink(it->path(), error).string() : "";
        entries.insert(it->path().string() + " -> " + target + ": " + std::string(std::istreambuf_iterator<char>(in), {}));
    }
    return entries;
}

}  // namespace smcd::fuzz
