#pragma once

// Trees that removal, measurement and Trash tests plant, and the changes a
// peer racing the helper makes to them.

#include <sys/mount.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/process.h"
#include "support/temp_dir.h"

namespace smcd::test {

// directory/file and directory/sub/.hidden, each holding "data".
inline void makeTree(const std::string& directory) {
    std::filesystem::create_directories(directory + "/sub");
    writeFile(directory + "/file", "data");
    writeFile(directory + "/sub/.hidden", "data");
}

// Everything from `path` down belongs to `uid`, as a peer's own files do.
inline void giveTo(const std::string& path, uid_t uid) {
    if (::lchown(path.c_str(), uid, 20) != 0) throw std::runtime_error("lchown " + path);
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(path))) return;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
        if (::lchown(entry.path().c_str(), uid, 20) != 0) throw std::runtime_error("lchown " + entry.path().string());
}

// Parks `path` at path + ".moved" with a link to `target` in its place, and back.
inline void swapForLink(const std::string& path, const std::string& target) {
    std::filesystem::rename(path, path + ".moved");
    std::filesystem::create_directory_symlink(target, path);
}
inline void swapBack(const std::string& path) {
    std::filesystem::remove(path);
    std::filesystem::rename(path + ".moved", path);
}

// A file with `size` bytes written, so that it really occupies blocks.
inline void writeSized(const std::string& path, std::size_t size) { writeFile(path, std::string(size, 'x')); }

inline void makeLink(const std::string& target, const std::string& at) {
    if (::symlink(target.c_str(), at.c_str()) != 0) throw std::runtime_error("symlink " + at);
}

// (bytes, files) of the regular files below `directory` as find(1) sees
// them, without following links: the reference every measurement meets.
inline std::pair<std::int64_t, std::int64_t> findTotals(const std::string& directory) {
    const Finished found = run({"/usr/bin/find", directory, "-mindepth", "1", "-type", "f", "-printf", "%b\\n"});
    if (found.status != 0) throw std::runtime_error("find " + directory + ": " + found.err);
    std::istringstream listing(found.out);
    std::int64_t blocks = 0, files = 0;
    for (std::int64_t value = 0; listing >> value; ++files) blocks += value;
    return {blocks * 512, files};
}

// A fresh tmpfs, or `bound` (a directory of any file system) bind-mounted,
// for one scope (in the sandbox's private namespace): its mount point can be
// neither renamed nor removed meanwhile.
struct ScopedMount {
    explicit ScopedMount(std::string where, const std::string& bound = "") : at(std::move(where)) {
        std::filesystem::create_directories(at);
        const int mounted = bound.empty() ? ::mount("smcd-test", at.c_str(), "tmpfs", 0, "mode=0755")
                                          : ::mount(bound.c_str(), at.c_str(), nullptr, MS_BIND, nullptr);
        if (mounted != 0) throw std::runtime_error("mount " + at);
    }
    ~ScopedMount() { ::umount2(at.c_str(), MNT_DETACH); }
    ScopedMount(const ScopedMount&) = delete;
    std::string at;
};

}  // namespace smcd::test
