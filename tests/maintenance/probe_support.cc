#include "probe_support.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "support/temp_dir.h"

namespace smcd::test {

ProbeReport parseReport(const std::string& line) {
    const auto json = nlohmann::json::parse(line);
    return ProbeReport{json.at("argv"), json.at("env"),     json.at("fds"),
                       json.at("ignored"), json.at("blocked"), json.at("links")};
}

std::vector<ProbeReport> parseReports(const std::string& lines) {
    std::vector<ProbeReport> reports;
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) reports.push_back(parseReport(line));
    }
    return reports;
}

PlacedTool::PlacedTool(std::string path, const std::vector<std::string>& plan) : path_(std::move(path)) {
    if (exists(path_)) {
        saved_ = path_ + ".saved-by-test";
        std::filesystem::rename(path_, saved_);
    }
    std::filesystem::copy_file(probePath, path_);
    ::chmod(path_.c_str(), 0755);
    std::string text;
    for (const std::string& step : plan) text += step + "\n";
    writeFile(path_ + ".plan", text);
}

PlacedTool::~PlacedTool() {
    std::remove(path_.c_str());
    std::remove((path_ + ".plan").c_str());
    if (!saved_.empty()) std::rename(saved_.c_str(), path_.c_str());
}

HiddenPath::HiddenPath(std::string path) : path_(std::move(path)) {
    moved_ = std::rename(path_.c_str(), (path_ + ".hidden-by-test").c_str()) == 0;
}

HiddenPath::~HiddenPath() {
    if (moved_) std::rename((path_ + ".hidden-by-test").c_str(), path_.c_str());
}

}  // namespace smcd::test
