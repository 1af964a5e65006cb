// The removal engine against `rm -rf` on identical trees built in the same
// run: 100,000 small files in 1,000 directories. The engine learns an
// entry's type from the errno of its one unlinkat and never stats, so it
// should be no slower. With strace available, the system calls per entry of
// both are printed to stderr as well.

#include <fcntl.h>
#include <spawn.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "removal/safe_removal.h"
#include "support/report.h"
#include "support/walk_trees.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTopDirectories = 10;
constexpr int kDirectoriesEach = 100;  // 1,000 directories hold the files
constexpr int kFilesEach = 100;        // 100,000 files

bool isMemoryBacked(const char* directory) {
    struct statfs info {};
    return ::statfs(directory, &info) == 0 && info.f_type == TMPFS_MAGIC && ::access(directory, W_OK) == 0;
}

// A memory-backed folder when there is one: on a disk both removers wait
// on the journal and the comparison measures the disk, not the remover.
std::string makeScratch() {
    const char* base = std::getenv("TMPDIR");
    std::string folder = base && *base ? base : "/tmp";
    if (!isMemoryBacked(folder.c_str()) && isMemoryBacked("/dev/shm")) folder = "/dev/shm";
    std::fprintf(stderr, "bench_removal: trees in %s%s\n", folder.c_str(),
                 isMemoryBacked(folder.c_str()) ? " (memory)" : " (disk)");
    std::string pattern = folder + "/smcd-bench-removal.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return buffer.data();
}

void fail(const char* what, const std::string& path) {
    std::fprintf(stderr, "bench_removal: %s %s failed\n", what, path.c_str());
    std::exit(1);
}

// Built relative to descriptors, as fast as the file system allows.
void buildTree(const std::string& top, int topDirectories, int directoriesEach, int filesEach) {
    if (::mkdir(top.c_str(), 0755) != 0) fail("mkdir", top);
    smcd::UniqueFd topFd(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string contents(100, 'x');
    for (int a = 0; a < topDirectories; ++a) {
        const std::string aName = "a" + std::to_string(a);
        if (::mkdirat(topFd.get(), aName.c_str(), 0755) != 0) fail("mkdirat", aName);
        smcd::UniqueFd aFd(::openat(topFd.get(), aName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int b = 0; b < directoriesEach; ++b) {
            const std::string bName = "b" + std::to_string(b);
            if (::mkdirat(aFd.get(), bName.c_str(), 0755) != 0) fail("mkdirat", bName);
            smcd::UniqueFd bFd(::openat(aFd.get(), bName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            for (int f = 0; f < filesEach; ++f) {
                const std::string fName = "f" + std::to_string(f);
                smcd::UniqueFd file(::openat(bFd.get(), fName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
                if (!file || ::write(file.get(), contents.data(), contents.size()) < 0) fail("create", fName);
            }
        }
    }
}

// Wall and processor time of one removal. The machine may be shared, so
// processor time (user + system) is the figure compared.
struct Cost {
    double wall = 0;
    double processor = 0;
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }
double processorSeconds(const rusage& usage) { return seconds(usage.ru_utime) + seconds(usage.ru_stime); }

int run(const std::vector<std::string>& arguments, rusage* usage = nullptr) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    rusage ignored {};
    while (::wait4(pid, &status, 0, usage ? usage : &ignored) < 0) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

Cost timeEngine(const std::string& top, const std::string& root) {
    rusage before {};
    rusage after {};
    ::getrusage(RUSAGE_THREAD, &before);
    const auto start = Clock::now();
    const auto removed = smcd::removal::remove(top, root, ::geteuid());
    const double wall = secondsSince(start);
    ::getrusage(RUSAGE_THREAD, &after);
    if (!removed) fail(smcd::removal::describe(removed.error()).c_str(), top);
    return {wall, processorSeconds(after) - processorSeconds(before)};
}

Cost timeRm(const std::string& top) {
    rusage usage {};
    const auto start = Clock::now();
    const int status = run({"/bin/rm", "-rf", top}, &usage);
    const double wall = secondsSince(start);
    if (status != 0 || ::access(top.c_str(), F_OK) == 0) fail("rm -rf", top);
    return {wall, processorSeconds(usage)};
}

// Total calls from `strace -c` output, or nothing.
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
    return total;
}

std::optional<long> tracedCalls(const std::string& scratch, std::vector<std::string> command) {
    const std::string report = scratch + "/strace.out";
    command.insert(command.begin(), {"/usr/bin/strace", "-c", "-f", "-o", report});
    if (run(command) != 0) return std::nullopt;
    std::optional<long> calls = totalCalls(report);
    ::unlink(report.c_str());
    return calls;
}

// Calls per entry beyond what starting the program costs on its own.
void printSystemCallsPerEntry(const std::string& self, const std::string& scratch) {
    if (::access("/usr/bin/strace", X_OK) != 0) return;
    constexpr int kTop = 2, kEach = 10, kFiles = 100;
    const double entries = kTop + kTop * kEach + kTop * kEach * kFiles + 1;
    const std::string empty = scratch + "/traced-empty";
    const std::string tree = scratch + "/traced";
    auto perEntry = [&](std::vector<std::string> command, std::vector<std::string> baseline) -> std::optional<double> {
        buildTree(empty, 0, 0, 0);
        const std::optional<long> base = tracedCalls(scratch, std::move(baseline));
        buildTree(tree, kTop, kEach, kFiles);
        const std::optional<long> full = tracedCalls(scratch, std::move(command));
        if (!base || !full) return std::nullopt;
        return static_cast<double>(*full - *base) / entries;
    };
    const auto engine = perEntry({self, "--remove", tree, scratch}, {self, "--remove", empty, scratch});
    const auto rm = perEntry({"/bin/rm", "-rf", tree}, {"/bin/rm", "-rf", empty});
    if (engine && rm)
        std::fprintf(stderr, "bench_removal: system calls per entry: engine %.2f, rm -rf %.2f (strace -c -f)\n", *engine,
                     *rm);
}

// The shapes that once made the walk quadratic or its listing huge, each
// removed by the engine and by rm -rf from identical trees, every remover in
// a process of its own: time and peak memory.
void compareShapes(const std::string& self) {
    for (const smcd::bench::Shape& shape : smcd::bench::walkShapes()) {
        const std::string scratch = smcd::bench::scratchFolder("removal-shape");
        shape.build(scratch + "/engine");
        shape.build(scratch + "/rm");
        const auto engine = smcd::bench::runChild({self, "--remove", scratch + "/engine", scratch});
        const auto rm = smcd::bench::runChild({"/bin/rm", "-rf", scratch + "/rm"});
        if (engine.status != 0 || rm.status != 0) fail("removing", shape.name);
        const std::string name = std::string("removal engine, ") + shape.name;
        smcd::bench::printRow({name + " (cpu)", engine.processorSeconds, "s", "rm -rf, same tree (cpu)", rm.processorSeconds, "<= 2.0x"});
        smcd::bench::printRow({name + " (wall)", engine.wallSeconds, "s", "rm -rf, same tree (wall)", rm.wallSeconds, "<= 2.0x"});
        smcd::bench::printRow({name + " (peak memory)", engine.peakMegabytes, "MB", "rm -rf, same tree (peak memory)",
                               rm.peakMegabytes, shape.memoryGoal});
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The traced half of the system-call count: one removal and nothing else.
    if (argc == 4 && std::string(argv[1]) == "--remove") return smcd::removal::remove(argv[2], argv[3], ::geteuid()) ? 0 : 1;

    const std::string scratch = makeScratch();
    const std::string engineTree = scratch + "/engine";
    const std::string rmTree = scratch + "/rm";
    // Three rounds, taking turns at going first; the best of each counts.
    Cost engineBest{1e9, 1e9};
    Cost rmBest{1e9, 1e9};
    for (int round = 0; round < 3; ++round) {
        // Both trees exist before either is timed, so both meet the same caches.
        buildTree(engineTree, kTopDirectories, kDirectoriesEach, kFilesEach);
        buildTree(rmTree, kTopDirectories, kDirectoriesEach, kFilesEach);
        Cost engine;
        Cost rm;
        if (round % 2 == 0) {
            engine = timeEngine(engineTree, scratch);
            rm = timeRm(rmTree);
        } else {
            rm = timeRm(rmTree);
            engine = timeEngine(engineTree, scratch);
        }
        std::fprintf(stderr, "bench_removal: round %d: engine %.3f s wall %.3f s processor, rm -rf %.3f s wall %.3f s processor\n",
                     round, engine.wall, engine.processor, rm.wall, rm.processor);
        engineBest = {std::min(engineBest.wall, engine.wall), std::min(engineBest.processor, engine.processor)};
        rmBest = {std::min(rmBest.wall, rm.wall), std::min(rmBest.processor, rm.processor)};
    }

    smcd::bench::printRow({"removal engine, 100k files in 1k dirs (cpu)", engineBest.processor, "s",
                           "rm -rf, same tree (cpu)", rmBest.processor, "<= 1.0x"});
    smcd::bench::printRow({"removal engine, 100k files in 1k dirs (wall)", engineBest.wall, "s",
                           "rm -rf, same tree (wall)", rmBest.wall, "<= 1.0x"});
    printSystemCallsPerEntry(argv[0], scratch);
    ::rmdir(scratch.c_str());
    compareShapes(argv[0]);
    return 0;
}
