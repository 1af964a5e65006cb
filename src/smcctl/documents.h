#pragma once

// smcctl's man page and bash completion, rendered at build time from the
// help entries smcctl prints and from the lists the code declares: the
// commands, the removal families, the protocol's selectors and the daemon's
// maintenance task ids.

#include <span>
#include <string>
#include <string_view>

namespace smcd::smcctl {

std::string manPage(std::string_view version, std::string_view defaultSocket, std::span<const std::string> taskIds);
std::string bashCompletion(std::span<const std::string> taskIds);

}  // namespace smcd::smcctl
