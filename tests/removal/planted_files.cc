#include "removal/planted_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "support/temp_dir.h"
#include "support/tree.h"

namespace smcd::test {
namespace fs = std::filesystem;

// Best effort throughout: the sandbox disappears with the test anyway.
PlantedFiles::~PlantedFiles() {
    std::error_code ignored;
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) fs::remove_all(*it, ignored);
    for (auto it = restores_.rbegin(); it != restores_.rend(); ++it) (*it)();
}

void PlantedFiles::directory(const std::string& path) {
    fs::path top = path;
    while (top.has_relative_path() && !exists(top.parent_path().string())) top = top.parent_path();
    if (exists(top.string())) return;
    fs::create_directories(path);
    created_.push_back(top.string());
}

void PlantedFiles::file(const std::string& path, const std::string& contents) {
    directory(fs::path(path).parent_path().string());
    writeFile(path, contents);
    created_.push_back(path);
}

void PlantedFiles::link(const std::string& target, const std::string& path) {
    directory(fs::path(path).parent_path().string());
    makeLink(target, path);
    created_.push_back(path);
}

void PlantedFiles::chownUntilEnd(const std::string& path, uid_t owner, gid_t group) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || ::lchown(path.c_str(), owner, group) != 0)
        throw std::runtime_error("lchown " + path);
    restores_.push_back([=] { (void)!::lchown(path.c_str(), status.st_uid, status.st_gid); });
}

void PlantedFiles::moveAsideUntilEnd(const std::string& path) {
    fs::rename(path, path + ".parked-by-test");
    restores_.push_back([path] {
        std::error_code ignored;
        fs::remove_all(path, ignored);
        fs::rename(path + ".parked-by-test", path, ignored);
    });
}

std::map<std::string, std::string> snapshot(const std::string& directory) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        struct stat status {};
        ::lstat(entry.path().c_str(), &status);
        std::string description = std::to_string(status.st_mode) + ":";
        if (S_ISLNK(status.st_mode)) description += fs::read_symlink(entry.path()).string();
        if (S_ISREG(status.st_mode)) description += readFile(entry.path().string());
        entries[fs::relative(entry.path(), directory).string()] = description;
    }
    return entries;
}

void buildTree(const std::string& directory, int width, int depth) {
    ::mkdir(directory.c_str(), 0755);
    for (int i = 0; i < width; ++i) writeFile(directory + "/f" + std::to_string(i), directory + "/f" + std::to_string(i));
    if (depth <= 1) return;
    for (int i = 0; i < width; ++i) buildTree(directory + "/d" + std::to_string(i), width, depth - 1);
}

}  // namespace smcd::test
