// measureTree against du(1) over the same tree in the same run: 100,000
// files in 1,000 directories. The walk needs one status call per regular
// file and nothing else, so it should not be slower than du, which stats
// every entry. The byte totals must agree once du's directories are taken out.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "removal/measurement.h"
#include "support/report.h"
#include "support/walk_trees.h"

namespace {

constexpr int directoryCount = 1000;
constexpr int filesPerDirectory = 100;
constexpr int rounds = 5;

// tmpfs when there is one, so that both walks see the same warm metadata
// and the comparison is about the walk, not the disk.
std::string scratchBase() {
    if (::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

class ScratchTree {
public:
    ScratchTree() {
        std::string pattern = scratchBase() + "/smcd-bench-measure.XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        path_ = pattern;
        const std::string payload(9000, 'x');
        for (int d = 0; d < directoryCount; ++d) {
            const std::string directory = path_ + "/d" + std::to_string(d);
            if (::mkdir(directory.c_str(), 0755) != 0) throw std::runtime_error("mkdir");
            smcd::UniqueFd at(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            for (int f = 0; f < filesPerDirectory; ++f) {
                const std::string name = "f" + std::to_string(f);
                smcd::UniqueFd file(::openat(at.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
                // Sizes from 0 to 9,000 bytes, so files take 0 to 3 pages.
                const std::size_t size = static_cast<std::size_t>((d * 37 + f * 91) % 9001);
                if (!file || ::write(file.get(), payload.data(), size) != static_cast<ssize_t>(size)) {
                    throw std::runtime_error("write");
                }
            }
        }
    }
    ~ScratchTree() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::int64_t allocated(const std::string& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) throw std::runtime_error("lstat");
    return static_cast<std::int64_t>(info.st_blocks) * 512;
}

std::int64_t duBytes(const std::string& path) {
    const std::string command = "du -s -l -B1 '" + path + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen");
    long long bytes = -1;
    const int read = std::fscanf(pipe, "%lld", &bytes);
    ::pclose(pipe);
    if (read != 1) throw std::runtime_error("du printed nothing");
    return bytes;
}

template <class Work>
double medianMilliseconds(Work work) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The shapes that once made the walk quadratic or its listing huge,
// measured by measureTree and by du in processes of their own: time and
// peak memory.
void compareShapes(const std::string& self) {
    for (const smcd::bench::Shape& shape : smcd::bench::walkShapes()) {
        const std::string top = smcd::bench::scratchFolder("measure-shape") + "/tree";
        shape.build(top);
        const auto walk = smcd::bench::runChild({self, "--measure", top});
        const auto du = smcd::bench::runChild({"/usr/bin/du", "-s", "-l", "-B1", top});
        if (walk.status != 0 || du.status != 0) throw std::runtime_error(std::string("measuring ") + shape.name);
        const std::string name = std::string("measureTree, ") + shape.name;
        smcd::bench::printRow({name + " (cpu)", walk.processorSeconds, "s", "du -s -l -B1 (cpu)", du.processorSeconds, "<= 2.0x"});
        smcd::bench::printRow({name + " (wall)", walk.wallSeconds, "s", "du -s -l -B1 (wall)", du.wallSeconds, "<= 2.0x"});
        smcd::bench::printRow({name + " (peak memory)", walk.peakMegabytes, "MB", "du -s -l -B1 (peak memory)",
                               du.peakMegabytes, shape.memoryGoal});
        smcd::bench::runChild({"/bin/rm", "-rf", top});
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The measured half of a shape's comparison: one walk and nothing else.
    if (argc == 3 && std::string(argv[1]) == "--measure") {
        return smcd::removal::measureTree(argv[2], ::geteuid()) ? 0 : 1;
    }

    const ScratchTree tree;
    std::pair<std::int64_t, std::int64_t> totals{-1, -1};
    std::int64_t du = 0;
    // Warm both once so neither pays for the other's cold caches.
    const auto measure = [&] {
        if (const auto measured = smcd::removal::measureTree(tree.path(), ::geteuid())) totals = *measured;
    };
    measure();
    du = duBytes(tree.path());

    const double walk = medianMilliseconds(measure);
    const double reference = medianMilliseconds([&] { du = duBytes(tree.path()); });

    std::int64_t directories = allocated(tree.path());
    for (int d = 0; d < directoryCount; ++d) directories += allocated(tree.path() + "/d" + std::to_string(d));
    const bool agree = totals.first == du - directories &&
                       totals.second == static_cast<std::int64_t>(directoryCount) * filesPerDirectory;

    smcd::bench::printRow({"measureTree 100k files / 1k dirs (median of 5)", walk, "ms", "du -s -l -B1", reference,
                           "<= 1.0x"});
    std::printf("measureTree bytes %lld, files %lld; du bytes %lld minus directories %lld = %lld: %s\n",
                static_cast<long long>(totals.first), static_cast<long long>(totals.second),
                static_cast<long long>(du), static_cast<long long>(directories),
                static_cast<long long>(du - directories), agree ? "totals agree" : "TOTALS DIFFER");
    if (!agree) return 1;
    compareShapes(argv[0]);
    return 0;
}
