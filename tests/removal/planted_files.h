#pragma once

// Files, directories and links planted in the sandbox's macOS tree for one
// test, and removed again (without following links) when it ends, so that
// tests of one executable never see each other's leftovers.

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace smcd::test {

class PlantedFiles {
public:
    PlantedFiles() = default;
    ~PlantedFiles();
    PlantedFiles(const PlantedFiles&) = delete;
    PlantedFiles& operator=(const PlantedFiles&) = delete;

    // Creates the directory and any missing parents.
    void directory(const std::string& path);
    void file(const std::string& path, const std::string& contents = "x");
    void link(const std::string& target, const std::string& path);
    // Changes an existing entry's owner until the end of the test.
    void chownUntilEnd(const std::string& path, uid_t owner, gid_t group);
    // Moves an existing entry aside until the end of the test.
    void moveAsideUntilEnd(const std::string& path);

private:
    std::vector<std::string> created_;
    std::vector<std::function<void()>> restores_;  // run after everything created is gone
};

// Everything below a directory, not following links: each entry's type,
// mode, contents or link target, keyed by relative path. Two equal snapshots
// mean the tree is byte-for-byte the same.
std::map<std::string, std::string> snapshot(const std::string& directory);

// Builds `directory` holding `width` files and `width` subdirectories per
// level, `depth` levels deep, every file's contents naming its own path.
void buildTree(const std::string& directory, int width, int depth);

}  // namespace smcd::test
