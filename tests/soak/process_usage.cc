#include "process_usage.h"

#include <fstream>
#include <string>
#include <thread>

#include "support/descriptors.h"

namespace smcd::soak {

std::size_t residentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

Usage usageOf(pid_t pid) {
    return {test::openDescriptorCount(pid), test::threadCount(pid), residentBytes(pid)};
}

std::size_t steadyValue(const std::function<std::size_t()>& sample, std::chrono::milliseconds interval,
                        std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t previous = sample();
    for (;;) {
        std::this_thread::sleep_for(interval);
        const std::size_t now = sample();
        if (now == previous || std::chrono::steady_clock::now() >= deadline) return now;
        previous = now;
    }
}

}  // namespace smcd::soak
