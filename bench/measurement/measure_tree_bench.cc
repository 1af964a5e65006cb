// measureTree against du(1) on the shapes that once made the walk quadratic
// or its listing huge, each walker in a process of its own: time and peak
// memory. The regular tree is compared through the daemon itself
// (bench/removal/walk_requests_bench.cc).

#include <unistd.h>

#include <stdexcept>
#include <string>

#include "removal/measurement.h"
#include "support/report.h"
#include "support/walk_trees.h"

int main(int argc, char** argv) {
    // The measured half of a shape's comparison: one walk and nothing else.
    if (argc == 3 && std::string(argv[1]) == "--measure") {
        return smcd::removal::measureTree(argv[2], ::geteuid()) ? 0 : 1;
    }
    for (const smcd::bench::Shape& shape : smcd::bench::walkShapes()) {
        const std::string top = smcd::bench::scratchFolder("measure-shape") + "/tree";
        shape.build(top);
        const auto walk = smcd::bench::runChild({argv[0], "--measure", top});
        const auto du = smcd::bench::runChild({"/usr/bin/du", "-s", "-l", "-B1", top});
        if (walk.status != 0 || du.status != 0) throw std::runtime_error(std::string("measuring ") + shape.name);
        const std::string name = std::string("measureTree, ") + shape.name;
        smcd::bench::printRow({name + " (cpu)", walk.processorSeconds, "s", "du -s -l -B1 (cpu)", du.processorSeconds, "<= 2.0x"});
        smcd::bench::printRow({name + " (wall)", walk.wallSeconds, "s", "du -s -l -B1 (wall)", du.wallSeconds, "<= 2.0x"});
        smcd::bench::printRow({name + " (peak memory)", walk.peakMegabytes, "MB", "du -s -l -B1 (peak memory)",
                               du.peakMegabytes, shape.memoryGoal});
        smcd::bench::runChild({"/bin/rm", "-rf", top});
    }
    return 0;
}
