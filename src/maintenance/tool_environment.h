#pragma once

#include <string>
#include <vector>

namespace smcd {

// The whole environment of every child the daemon starts, as "NAME=value"
// entries: PATH alone, so nothing of the daemon's own environment (or of
// whoever started it) reaches a tool. Built once, thread-safe, never changed.
const std::vector<std::string>& toolEnvironment();

}  // namespace smcd
