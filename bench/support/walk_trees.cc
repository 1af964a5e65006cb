#include "support/walk_trees.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "common/unique_fd.h"

extern char** environ;

namespace smcd::bench {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

UniqueFd makeAndOpen(int at, const char* name) {
    if (::mkdirat(at, name, 0755) != 0) throw std::runtime_error(std::string("mkdir ") + name);
    UniqueFd fd(::openat(at, name, kDirectoryFlags));
    if (!fd) throw std::runtime_error(std::string("open ") + name);
    return fd;
}

UniqueFd makeTop(const std::string& top) { return makeAndOpen(AT_FDCWD, top.c_str()); }

}  // namespace

void buildComb(const std::string& top, int depth, int side) {
    UniqueFd level = makeTop(top);
    for (int i = 0; i < depth; ++i) {
        // tmpfs lists the newest entry first: the side branch is made last.
        UniqueFd next = makeAndOpen(level.get(), "c");
        UniqueFd branch = makeAndOpen(level.get(), "s");
        for (int j = 1; j < side; ++j) branch = makeAndOpen(branch.get(), "s");
        level = std::move(next);
    }
}

void buildChain(const std::string& top, int depth) {
    UniqueFd level = makeTop(top);
    for (int i = 1; i < depth; ++i) level = makeAndOpen(level.get(), "d");
}

void buildFlat(const std::string& top, int count, int length) {
    const UniqueFd directory = makeTop(top);
    std::string name(static_cast<std::size_t>(length), 'n');
    for (int i = 0; i < count; ++i) {
        const std::string number = std::to_string(i);
        name.replace(name.size() - number.size(), number.size(), number);
        const UniqueFd file(::openat(directory.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!file) throw std::runtime_error("create " + name);
    }
}

void buildRegularTree(const std::string& top) {
    const UniqueFd topFd = makeTop(top);
    const std::string payload(9000, 'x');
    for (int a = 0; a < 100; ++a) {
        const UniqueFd folder = makeAndOpen(topFd.get(), ("a" + std::to_string(a)).c_str());
        for (int b = 0; b < 10; ++b) {
            const UniqueFd files = makeAndOpen(folder.get(), ("b" + std::to_string(b)).c_str());
            for (int f = 0; f < 100; ++f) {
                const std::string name = "f" + std::to_string(f);
                const UniqueFd file(::openat(files.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
                const auto size = static_cast<std::size_t>((a * 370 + b * 37 + f * 91) % 9001);
                if (!file || ::write(file.get(), payload.data(), size) != static_cast<ssize_t>(size)) {
                    throw std::runtime_error("create " + name);
                }
            }
        }
    }
}

const std::vector<Shape>& walkShapes() {
    static const std::vector<Shape> shapes = {
        {"comb depth 4,000", [](const std::string& top) { buildComb(top, 4000, 20); }, "<= 2.0x"},
        {"chain of 10,000", [](const std::string& top) { buildChain(top, 10000); }, "<= 2.0x"},
        {"flat 1,000,000 names", [](const std::string& top) { buildFlat(top, 1000000, 200); }, "<= 1.0x"},
    };
    return shapes;
}

ChildCost runChild(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ChildCost cost;
    const auto start = std::chrono::steady_clock::now();
    // What the walkers print (du's totals) is not the report's.
    posix_spawn_file_actions_t quiet;
    ::posix_spawn_file_actions_init(&quiet);
    ::posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) return cost;
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {}
    cost.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    cost.processorSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    cost.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
    cost.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return cost;
}

std::string scratchFolder(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp && *tmp ? tmp : "/tmp");
    std::string pattern = base + "/smcd-bench-" + name + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    // Left-over trees go with rm -rf, which neither a deep chain nor a
    // million names trouble.
    static std::vector<std::string> made;
    static const bool registered = std::atexit([] {
        for (const std::string& folder : made) runChild({"/bin/rm", "-rf", folder});
    }) == 0;
    static_cast<void>(registered);
    made.push_back(pattern);
    return pattern;
}

}  // namespace smcd::bench
