#include "support/descriptors.h"

#include <dirent.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/unique_dir.h"

namespace smcd::test {
namespace {

std::size_t countEntries(const std::string& path) {
    UniqueDir dir(::opendir(path.c_str()));
    if (!dir) return 0;
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") ++count;
    }
    return count;
}

std::string procPath(pid_t pid) { return pid == 0 ? "/proc/self" : "/proc/" + std::to_string(pid); }

}  // namespace

std::size_t openDescriptorCount(pid_t pid) {
    // Listing /proc/self/fd opens one descriptor of its own while it counts.
    const std::size_t count = countEntries(procPath(pid) + "/fd");
    return pid == 0 && count > 0 ? count - 1 : count;
}

std::size_t threadCount(pid_t pid) { return countEntries(procPath(pid) + "/task"); }

NoDescriptorLeak::~NoDescriptorLeak() { EXPECT_EQ(openDescriptorCount(), before_) << "descriptors leaked"; }

}  // namespace smcd::test
