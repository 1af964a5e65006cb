// What a user gets through smcctl from the running daemon, against the
// system's own tools on the same tree in the same run: a measurement against
// du -s -l -B1 and a permanent removal against rm -rf, on the regular tree
// (100,000 files in 1,101 directories, in the sandbox's memory-backed
// /Library/Caches). Wall time is the median of five runs that take turns at
// going first; system calls are the daemon's, every thread, during one
// request (strace -c -f -p) against the tool's whole run (strace -c -f).

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/daemon.h"
#include "support/report.h"
#include "support/system_calls.h"
#include "support/walk_trees.h"

namespace {

using smcd::bench::printRow;

constexpr int kRounds = 5;
const std::string kTree = "/Library/Caches/smcd-bench-regular";
const std::string kOtherTree = "/Library/Caches/smcd-bench-regular-for-rm";

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Wall seconds of each command, `kRounds` times, the first and the second
// taking turns at going first; `before` runs ahead of every round.
template <class Before>
std::pair<double, double> medianWalls(const std::vector<std::string>& ours, const std::vector<std::string>& theirs,
                                      Before before) {
    std::vector<double> oursWall, theirsWall;
    for (int round = 0; round < kRounds; ++round) {
        before();
        for (int turn = 0; turn < 2; ++turn) {
            const bool oursNow = (round + turn) % 2 == 0;
            const smcd::bench::ChildCost cost = smcd::bench::runChild(oursNow ? ours : theirs);
            if (cost.status != 0) throw std::runtime_error(oursNow ? "smcctl failed" : "the reference failed");
            (oursNow ? oursWall : theirsWall).push_back(cost.wallSeconds);
        }
    }
    return {median(oursWall), median(theirsWall)};
}

void callsRow(const std::string& name, std::optional<long> ours, const std::string& referenceName,
              std::optional<long> theirs) {
    if (!ours || !theirs) {
        std::fprintf(stderr, "bench_walk_requests: no strace, no system call rows\n");
        return;
    }
    printRow({name, static_cast<double>(*ours), "calls", referenceName, static_cast<double>(*theirs), "<= 1.0x"});
}

// Allocated bytes of the tree's directories, which du counts and measurement does not.
long long directoryBytes() {
    long long bytes = 0;
    const auto add = [&](const std::string& path) {
        struct stat info{};
        if (::lstat(path.c_str(), &info) == 0) bytes += static_cast<long long>(info.st_blocks) * 512;
    };
    add(kTree);
    for (int a = 0; a < 100; ++a) {
        add(kTree + "/a" + std::to_string(a));
        for (int b = 0; b < 10; ++b) add(kTree + "/a" + std::to_string(a) + "/b" + std::to_string(b));
    }
    return bytes;
}

void measurementRows(const smcd::test::Daemon& daemon, const std::string& smcctl) {
    smcd::bench::buildRegularTree(kTree);
    const std::vector<std::string> ours{smcctl, "--socket", daemon.socketPath(), "measure", kTree};
    const std::vector<std::string> du{"/usr/bin/du", "-s", "-l", "-B1", kTree};
    // Both agree, once du's directories are taken out.
    const smcd::test::Finished measured = smcd::test::run({smcctl, "--socket", daemon.socketPath(), "--json", "measure", kTree});
    const smcd::test::Finished counted = smcd::test::run(du);
    const long long duBytes = std::stoll(counted.out);
    const std::string expected = "\"bytes\":" + std::to_string(duBytes - directoryBytes()) +
                                 ",\"fileCount\":" + std::to_string(smcd::bench::kRegularTreeFiles) + ",";
    if (measured.out.find(expected) == std::string::npos) {
        throw std::runtime_error("totals differ: " + measured.out + " against du's " + counted.out);
    }
    const auto [walk, reference] = medianWalls(ours, du, [] {});
    printRow({"smcctl measure, 100k files in 1,101 dirs (wall, median of 5)", walk * 1e3, "ms",
              "du -s -l -B1, same tree (wall)", reference * 1e3, "<= 0.95x"});
    callsRow("smcctl measure, 100k files in 1,101 dirs (system calls)", smcd::bench::callsDuring(daemon.pid(), ours),
             "du -s -l -B1, same tree (system calls)", smcd::bench::tracedCalls(du));
    smcd::bench::runChild({"/usr/bin/rm", "-rf", kTree});
}

void removalRows(const smcd::test::Daemon& daemon, const std::string& smcctl) {
    const std::vector<std::string> ours{smcctl, "--socket", daemon.socketPath(), "remove", "systemCache", kTree};
    const std::vector<std::string> rm{"/usr/bin/rm", "-rf", kOtherTree};
    // Both trees exist before either goes, so both meet the same caches.
    const auto buildBoth = [] {
        smcd::bench::buildRegularTree(kTree);
        smcd::bench::buildRegularTree(kOtherTree);
    };
    const auto [removal, reference] = medianWalls(ours, rm, buildBoth);
    if (::access(kTree.c_str(), F_OK) == 0) throw std::runtime_error("the removal left the tree");
    printRow({"smcctl remove (permanent), 100k files in 1,101 dirs (wall, median of 5)", removal * 1e3, "ms",
              "rm -rf, same tree (wall)", reference * 1e3, "<= 0.95x"});
    buildBoth();
    callsRow("smcctl remove (permanent), 100k files in 1,101 dirs (system calls)", smcd::bench::callsDuring(daemon.pid(), ours),
             "rm -rf, same tree (system calls)", smcd::bench::tracedCalls(rm));
}

}  // namespace

int main() {
    const smcd::test::Daemon daemon;
    const std::string smcctl = SMCD_BINARY_DIR "/smcctl";
    measurementRows(daemon, smcctl);
    removalRows(daemon, smcctl);
    return 0;
}
