#pragma once

#include <string>

namespace smcd::bench {

// One row of the benchmark report: a measurement, the reference it is
// compared with (measured in the same run), their ratio and the goal.
// "lower" means smaller is better (times, memory), so ratio = value / reference.
struct Row {
    std::string name;
    double value;
    std::string unit;
    std::string referenceName;
    double referenceValue;
    std::string goal;  // e.g. "<= 2.0x"
};

void printRow(const Row& row);

}  // namespace smcd::bench
