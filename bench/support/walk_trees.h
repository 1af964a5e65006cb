#pragma once

// The shapes both walk benchmarks compare against du(1) and rm -rf, and a
// way to run each walker in a process of its own, so that its time and its
// peak memory are its alone.

#include <string>
#include <vector>

namespace smcd::bench {

// A chain of `depth` levels whose every level holds first a side branch
// `side` levels deep, then the next level of the chain.
void buildComb(const std::string& top, int depth, int side);
// A chain of `depth` levels.
void buildChain(const std::string& top, int depth);
// One directory holding `count` empty files with names `length` bytes long.
void buildFlat(const std::string& top, int count, int length);
// The regular tree measurement and removal are compared on: 100,000 files
// of 0 to 9,000 bytes in 1,101 directories (the top, 100 folders of 10
// folders of 100 files).
constexpr int kRegularTreeFiles = 100000;
void buildRegularTree(const std::string& top);

// The three shapes of both comparisons, with the goal for peak memory (a
// flat directory must cost no more than the reference's).
struct Shape {
    const char* name;
    void (*build)(const std::string& top);
    const char* memoryGoal;
};
const std::vector<Shape>& walkShapes();

struct ChildCost {
    double wallSeconds = 0;
    double processorSeconds = 0;  // user and system: steadier than wall time on a shared machine
    double peakMegabytes = 0;  // the child's largest resident set
    int status = -1;
};
ChildCost runChild(const std::vector<std::string>& arguments);

// A memory-backed folder when there is one, so that the comparison is about
// the walkers and not the disk. Removed with everything in it at exit.
std::string scratchFolder(const char* name);

}  // namespace smcd::bench
