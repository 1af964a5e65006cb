#pragma once

// smcctl's command line: options may stand anywhere among the operands (as
// getopt permutes them), "--" ends them.

#include <span>
#include <string>
#include <vector>

namespace smcd::smcctl {

struct UsageError {
    std::string message;
};

enum class Permanence { unset, trash, permanent };

struct Invocation {
    std::string socket;  // empty: the daemon's own socket
    bool json = false;
    bool help = false;
    Permanence permanence = Permanence::unset;
    std::vector<std::string> operands;  // the command and its arguments
};

// Throws UsageError for an unknown option or one missing its value.
Invocation parseCommandLine(std::span<const std::string> words);

}  // namespace smcd::smcctl
