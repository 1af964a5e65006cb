#pragma once

#include <string>

#include "common/unique_fd.h"

namespace smcd::test {

// A stream socket listening at `path`; throws when it cannot be made.
UniqueFd listenAt(const std::string& path);

// A raw stream socket connected to `path`, or an invalid one.
UniqueFd connectTo(const std::string& path);

}  // namespace smcd::test
