#include "support/descriptors.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace smcd::test {
namespace {

std::size_t countEntries(const std::string& path) {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator entry(path, error), end; !error && entry != end; entry.increment(error)) ++count;
    return count;
}

std::string procPath(pid_t pid) { return pid == 0 ? "/proc/self" : "/proc/" + std::to_string(pid); }

// A "Name:   N kB" line of /proc/PID/status, in bytes.
std::size_t statusKilobytes(pid_t pid, const std::string& name) {
    std::ifstream status(procPath(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1)) * 1024;
    return 0;
}

}  // namespace

std::size_t openDescriptorCount(pid_t pid) {
    // Listing /proc/self/fd opens one descriptor of its own while it counts.
    const std::size_t count = countEntries(procPath(pid) + "/fd");
    return pid == 0 && count > 0 ? count - 1 : count;
}

std::size_t threadCount(pid_t pid) { return countEntries(procPath(pid) + "/task"); }

std::size_t residentBytes(pid_t pid) { return statusKilobytes(pid, "VmRSS"); }
std::size_t peakResidentBytes(pid_t pid) { return statusKilobytes(pid, "VmHWM"); }

std::size_t settledCount(const std::function<std::size_t()>& sample) {
    std::size_t last = sample();
    for (int i = 0, agreeing = 0; i < 40 && agreeing < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const std::size_t now = sample();
        agreeing = now == last ? agreeing + 1 : 0;
        last = now;
    }
    return last;
}

NoDescriptorLeak::~NoDescriptorLeak() { EXPECT_EQ(openDescriptorCount(), before_) << "descriptors leaked"; }

}  // namespace smcd::test
