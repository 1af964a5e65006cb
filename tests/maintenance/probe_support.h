#pragma once

// Helpers around the stand-in tool (tool_probe): reading its reports and
// placing steered copies of it where the daemon expects a system tool.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace smcd::test {

inline const std::string probePath = SMCD_TOOL_PROBE;

// One "report" line of the probe, parsed.
struct ProbeReport {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::vector<int> fds;
    std::vector<int> ignored;
    std::vector<int> blocked;
    std::vector<std::string> links;  // where descriptors 0, 1 and 2 lead
};

ProbeReport parseReport(const std::string& line);
std::vector<ProbeReport> parseReports(const std::string& lines);

// Copies the probe to `path` with the given plan; the destructor removes both
// (and restores whatever stood at `path` before, if anything did).
class PlacedTool {
public:
    PlacedTool(std::string path, const std::vector<std::string>& plan);
    ~PlacedTool();
    PlacedTool(const PlacedTool&) = delete;
    PlacedTool& operator=(const PlacedTool&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string saved_;
};

// Moves whatever is at `path` aside for the lifetime of the object.
class HiddenPath {
public:
    explicit HiddenPath(std::string path);
    ~HiddenPath();
    HiddenPath(const HiddenPath&) = delete;
    HiddenPath& operator=(const HiddenPath&) = delete;

private:
    std::string path_;
    bool moved_ = false;
};

}  // namespace smcd::test

