#pragma once

// Reading the stand-in tool's reports, and putting steered copies of it where
// the daemon expects a system tool (inside the sandbox only).

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/temp_dir.h"

namespace smcd::test {

inline const std::string probePath = SMCD_TOOL_PROBE;

struct ProbeReport {
    std::vector<std::string> argv, env;
    std::vector<int> fds, ignored, blocked;
};

inline std::vector<ProbeReport> parseReports(const std::string& jsonLines) {
    std::vector<ProbeReport> reports;
    std::istringstream in(jsonLines);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        const auto j = nlohmann::json::parse(line);
        reports.push_back({j.at("argv"), j.at("env"), j.at("fds"), j.at("ignored"), j.at("blocked")});
    }
    return reports;
}

// The argument vectors the placed tools recorded in `calls`, in order.
inline std::vector<std::vector<std::string>> recordedArgvs(const std::string& calls) {
    std::vector<std::vector<std::string>> argvs;
    if (exists(calls))
        for (auto& report : parseReports(readFile(calls))) argvs.push_back(std::move(report.argv));
    return argvs;
}

// The probe at `path` with a plan, for the object's lifetime.
class PlacedTool {
public:
    PlacedTool(std::string path, const std::vector<std::string>& plan) : path_(std::move(path)) {
        std::filesystem::copy_file(probePath, path_, std::filesystem::copy_options::overwrite_existing);
        std::string text;
        for (const std::string& step : plan) text += step + "\n";
        writeFile(path_ + ".plan", text);
    }
    ~PlacedTool() {
        std::remove(path_.c_str());
        std::remove((path_ + ".plan").c_str());
    }
    PlacedTool(const PlacedTool&) = delete;
    PlacedTool& operator=(const PlacedTool&) = delete;

private:
    std::string path_;
};

}  // namespace smcd::test
