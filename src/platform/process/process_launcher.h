#pragma once

// Starts one child process by absolute path and blocks until it has exited:
// the daemon's stand-in for a task object with pipes and null-device handles.
// The child gets exactly the given environment, default signal dispositions,
// an empty signal mask, and no descriptor of ours but 0, 1 and 2.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/expected.h"

namespace smcd::platform {

// Where one of the child's output streams goes. Capturing both streams sends
// them into one pipe, so the captured bytes keep the order the child wrote in.
enum class OutputRoute { inherit, discard, capture };

// What to run and where its output goes.
struct ChildInvocation {
    std::string executable;               // absolute; PATH is never searched for it
    std::vector<std::string> arguments;   // after argument zero, which is `executable`
    std::span<const std::string> environment;  // "NAME=value" entries, the whole environment
    OutputRoute output = OutputRoute::inherit;
    OutputRoute error = OutputRoute::inherit;
};

struct ProcessExit {
    // The exit code, or the signal number for a child ended by a signal.
    std::int32_t status = 0;
    std::string captured;  // raw bytes, read to end of file before the wait
};

struct LaunchFailure {
    int code = 0;             // errno value
    std::string description;  // readable, names the executable
};

// Status reported for a child whose end could not be observed (it was reaped
// elsewhere): never success.
inline constexpr std::int32_t kUnobservedExitStatus = -1;

Expected<ProcessExit, LaunchFailure> runToExit(const ChildInvocation& invocation);

}  // namespace smcd::platform
