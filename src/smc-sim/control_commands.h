#pragma once

// The simulator's control language: one line in, one line out. Replies
// start with "ok" or "error". See docs/SMC-SIMULATOR.md for the commands.

#include <string>
#include <string_view>
#include <vector>

#include "smc-sim/machine.h"

namespace smcd::smcsim {

std::vector<std::string_view> splitWords(std::string_view line);

// Runs a command that concerns the machine model; "error unknown-command"
// for anything else (the server answers its own commands first).
std::string runControlCommand(Machine& machine, std::string_view line);

}  // namespace smcd::smcsim
