#include "probe_support.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>

#include "support/temp_dir.h"

namespace smcd::test {

std::vector<ProbeReport> parseReports(const std::string& jsonLines) {
    std::vector<ProbeReport> reports;
    std::istringstream in(jsonLines);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        const auto j = nlohmann::json::parse(line);
        reports.push_back({j.at("argv"), j.at("env"), j.at("fds"), j.at("ignored"), j.at("blocked")});
    }
    return reports;
}

PlacedTool::PlacedTool(std::string path, const std::vector<std::string>& plan) : path_(std::move(path)) {
    std::filesystem::copy_file(probePath, path_, std::filesystem::copy_options::overwrite_existing);
    std::string text;
    for (const std::string& step : plan) text += step + "\n";
    writeFile(path_ + ".plan", text);
}

PlacedTool::~PlacedTool() {
    std::remove(path_.c_str());
    std::remove((path_ + ".plan").c_str());
}

}  // namespace smcd::test
