#pragma once

// Reading the stand-in tool's reports, and putting steered copies of it where
// the daemon expects a system tool (inside the sandbox only).

#include <string>
#include <vector>

namespace smcd::test {

inline const std::string probePath = SMCD_TOOL_PROBE;

struct ProbeReport {
    std::vector<std::string> argv, env;
    std::vector<int> fds, ignored, blocked;
};
std::vector<ProbeReport> parseReports(const std::string& jsonLines);

// The probe at `path` with a plan, for the object's lifetime.
class PlacedTool {
public:
    PlacedTool(std::string path, const std::vector<std::string>& plan);
    ~PlacedTool();
    PlacedTool(const PlacedTool&) = delete;
    PlacedTool& operator=(const PlacedTool&) = delete;

private:
    std::string path_;
};

}  // namespace smcd::test
