#pragma once

// The shape a launchd toggle request must have before anything reads the
// property list.

#include <string_view>

namespace smcd::launchd {

bool acceptsLaunchdPlist(std::string_view path, std::string_view label);
bool isValidLaunchdLabel(std::string_view label);

}  // namespace smcd::launchd
