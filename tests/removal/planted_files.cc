#include "removal/planted_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "support/temp_dir.h"

namespace smcd::test {
namespace fs = std::filesystem;

bool inSandbox() {
    const char* flag = std::getenv("SMCD_IN_SANDBOX");
    return flag != nullptr && std::string(flag) == "1";
}

// Best effort throughout: the sandbox disappears with the test anyway.
PlantedFiles::~PlantedFiles() {
    std::error_code ignored;
    for (auto it = owners_.rbegin(); it != owners_.rend(); ++it)
        (void)!::lchown(it->first.c_str(), it->second.first, it->second.second);
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) fs::remove_all(*it, ignored);
    for (auto it = movedAside_.rbegin(); it != movedAside_.rend(); ++it) {
        fs::remove_all(it->first, ignored);
        fs::rename(it->second, it->first, ignored);
    }
}

void PlantedFiles::directory(const std::string& path, unsigned mode) {
    std::vector<std::string> missing;
    for (fs::path p = path; !p.empty() && p != p.root_path() && !exists(p.string()); p = p.parent_path())
        missing.push_back(p.string());
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), mode) != 0) throw std::runtime_error("mkdir " + *it);
        ::chmod(it->c_str(), mode);
        created_.push_back(*it);
    }
}

void PlantedFiles::file(const std::string& path, const std::string& contents, unsigned mode) {
    directory(fs::path(path).parent_path().string());
    writeFile(path, contents, mode);
    created_.push_back(path);
}

void PlantedFiles::link(const std::string& target, const std::string& path) {
    directory(fs::path(path).parent_path().string());
    if (::symlink(target.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink " + path);
    created_.push_back(path);
}

void PlantedFiles::chownUntilEnd(const std::string& path, uid_t owner, gid_t group) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) throw std::runtime_error("lstat " + path);
    owners_.push_back({path, {status.st_uid, status.st_gid}});
    if (::lchown(path.c_str(), owner, group) != 0) throw std::runtime_error("lchown " + path);
}

void PlantedFiles::moveAsideUntilEnd(const std::string& path) {
    const std::string parked = path + ".parked-by-test";
    fs::rename(path, parked);
    movedAside_.push_back({path, parked});
}

std::map<std::string, std::string> snapshot(const std::string& directory) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const fs::path& p = it->path();
        const std::string relative = fs::relative(p, directory).string();
        struct stat status {};
        if (::lstat(p.c_str(), &status) != 0) {
            entries[relative] = "vanished";
            continue;
        }
        std::string description = std::to_string(status.st_mode) + ":";
        if (S_ISLNK(status.st_mode)) description += fs::read_symlink(p).string();
        else if (S_ISREG(status.st_mode)) description += readFile(p.string());
        entries[relative] = description;
    }
    if (error) entries["<walk error>"] = error.message();
    return entries;
}

void buildTree(const std::string& directory, int width, int depth) {
    ::mkdir(directory.c_str(), 0755);
    for (int i = 0; i < width; ++i) writeFile(directory + "/f" + std::to_string(i), directory + "/f" + std::to_string(i));
    if (depth <= 1) return;
    for (int i = 0; i < width; ++i) buildTree(directory + "/d" + std::to_string(i), width, depth - 1);
}

}  // namespace smcd::test
