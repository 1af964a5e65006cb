// The removal engine against rm -rf on the shapes that once made the walk
// quadratic or its listing huge, each removed from identical trees, every
// remover in a process of its own: time and peak memory. The regular tree
// is compared through the daemon itself (walk_requests_bench.cc).

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "removal/safe_removal.h"
#include "support/report.h"
#include "support/walk_trees.h"

int main(int argc, char** argv) {
    // The measured half of a shape's comparison: one removal and nothing else.
    if (argc == 4 && std::string(argv[1]) == "--remove") {
        return smcd::removal::remove(argv[2], argv[3], ::geteuid()) ? 0 : 1;
    }
    for (const smcd::bench::Shape& shape : smcd::bench::walkShapes()) {
        const std::string scratch = smcd::bench::scratchFolder("removal-shape");
        shape.build(scratch + "/engine");
        shape.build(scratch + "/rm");
        const auto engine = smcd::bench::runChild({argv[0], "--remove", scratch + "/engine", scratch});
        const auto rm = smcd::bench::runChild({"/bin/rm", "-rf", scratch + "/rm"});
        if (engine.status != 0 || rm.status != 0) {
            std::fprintf(stderr, "bench_removal: removing %s failed\n", shape.name);
            return 1;
        }
        const std::string name = std::string("removal engine, ") + shape.name;
        smcd::bench::printRow({name + " (cpu)", engine.processorSeconds, "s", "rm -rf, same tree (cpu)", rm.processorSeconds, "<= 2.0x"});
        smcd::bench::printRow({name + " (wall)", engine.wallSeconds, "s", "rm -rf, same tree (wall)", rm.wallSeconds, "<= 2.0x"});
        smcd::bench::printRow({name + " (peak memory)", engine.peakMegabytes, "MB", "rm -rf, same tree (peak memory)",
                               rm.peakMegabytes, shape.memoryGoal});
    }
    return 0;
}
