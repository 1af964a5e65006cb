#pragma once

// The only ways the daemon starts a child. Each runner names its tool by
// absolute path, gives it `toolEnvironment()` and nothing else, and blocks
// until the child has exited. None throws; a child that cannot be started
// shows only in the result.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace smcd {

inline constexpr std::string_view kShellPath = "/bin/sh";
inline constexpr std::string_view kLaunchctlPath = "/bin/launchctl";
inline constexpr std::string_view kLsofPath = "/usr/sbin/lsof";
inline constexpr std::string_view kSfltoolPath = "/usr/bin/sfltool";

// Status reported by the runners that return one when the child never started.
inline constexpr std::int32_t kLaunchFailedStatus = -1;

struct RunResult {
    std::int32_t status;
    std::string output;
};

// "/bin/sh -c commandLine" with standard output and error in one pipe.
// Output is empty when it is not valid UTF-8, and trimmed of Unicode white
// space and newlines; a launch failure gives status -1 and its description.
RunResult runShell(std::string_view commandLine);

// "/bin/launchctl args..." with both output streams discarded; -1 when it
// cannot be started.
std::int32_t runLaunchctl(const std::vector<std::string>& arguments);

// "/usr/sbin/lsof args..." standard output, untrimmed, whatever the status;
// standard error discarded; empty when it cannot be started or is not UTF-8.
std::string runLsof(const std::vector<std::string>& arguments);

// "/usr/bin/sfltool dumpbtm" standard output as runLsof; standard error is
// the daemon's own.
std::string runBackgroundItemDump();

}  // namespace smcd
