#include "support/system_calls.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/walk_trees.h"

extern char** environ;

namespace smcd::bench {
namespace {

constexpr const char* kStrace = "/usr/bin/strace";

std::string reportPath() {
    return (std::filesystem::temp_directory_path() / ("smcd-bench-strace." + std::to_string(::getpid()))).string();
}

// The "total" line of strace -c, then the report is gone.
std::optional<long> totalCalls(const std::string& report) {
    std::ifstream in(report);
    std::string line;
    std::optional<long> total;
    while (std::getline(in, line)) {
        if (line.find(" total") == std::string::npos) continue;
        std::istringstream fields(line);
        std::string percent, seconds, perCall;
        long calls = 0;
        if (fields >> percent >> seconds >> perCall >> calls) total = calls;
    }
    std::filesystem::remove(report);
    return total;
}

// Whether every thread of `process` has a tracer.
bool allTraced(pid_t process) {
    const std::string tasks = "/proc/" + std::to_string(process) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("TracerPid:", 0) == 0 && std::stol(line.substr(10)) == 0) return false;
    }
    return true;
}

}  // namespace

std::optional<long> tracedCalls(std::vector<std::string> command) {
    if (::access(kStrace, X_OK) != 0) return std::nullopt;
    const std::string report = reportPath();
    command.insert(command.begin(), {kStrace, "-c", "-f", "-o", report});
    if (runChild(command).status != 0) return std::nullopt;
    return totalCalls(report);
}

std::optional<long> callsDuring(pid_t process, const std::vector<std::string>& command) {
    if (::access(kStrace, X_OK) != 0) return std::nullopt;
    const std::string report = reportPath();
    const std::string target = std::to_string(process);
    const char* argv[] = {kStrace, "-c", "-f", "-p", target.c_str(), "-o", report.c_str(), nullptr};
    pid_t tracer = 0;
    if (::posix_spawn(&tracer, kStrace, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return std::nullopt;
    for (int tries = 0; tries < 1000 && !allTraced(process); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool ran = runChild(command).status == 0;
    ::kill(tracer, SIGINT);  // strace detaches and writes its table
    int status = 0;
    while (::waitpid(tracer, &status, 0) < 0) {}
    const std::optional<long> calls = totalCalls(report);
    return ran ? calls : std::nullopt;
}

}  // namespace smcd::bench
