#pragma once

// Building trees for measurement tests, and the independent reference that
// every walk is compared with: find(1)'s own count of allocated blocks.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/temp_dir.h"

namespace smcd::test {

inline void makeDirectories(const std::string& path) { std::filesystem::create_directories(path); }

// A file with `size` bytes written, so that it really occupies blocks.
inline void writeSized(const std::string& path, std::size_t size) { writeFile(path, std::string(size, 'x')); }

inline void makeLink(const std::string& target, const std::string& at) {
    if (::symlink(target.c_str(), at.c_str()) != 0) throw std::runtime_error("symlink " + at);
}

// (bytes, files) of the regular files below `directory` as find sees them,
// without following links.
inline std::pair<std::int64_t, std::int64_t> findTotals(const std::string& directory) {
    FILE* pipe = ::popen(("find '" + directory + "' -mindepth 1 -type f -printf '%b\\n'").c_str(), "r");
    if (!pipe) throw std::runtime_error("popen");
    std::int64_t blocks = 0, files = 0;
    for (long long value = 0; std::fscanf(pipe, "%lld", &value) == 1; ++files) blocks += value;
    ::pclose(pipe);
    return {blocks * 512, files};
}

}  // namespace smcd::test
