#include "support/report.h"

#include <cstdio>

namespace smcd::bench {

void printRow(const Row& row) {
    const double ratio = row.referenceValue != 0 ? row.value / row.referenceValue : 0;
    // Tab-separated so scripts/bench.sh can gather rows from every benchmark.
    std::printf("ROW\t%s\t%.6g %s\t%s\t%.6g %s\t%.3fx\t%s\n", row.name.c_str(), row.value, row.unit.c_str(),
                row.referenceName.c_str(), row.referenceValue, row.unit.c_str(), ratio, row.goal.c_str());
    std::fflush(stdout);
}

}  // namespace smcd::bench
