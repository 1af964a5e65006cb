#pragma once

// The platform's split of a POSIX path into components, as the removal and
// launchd rules count them: an absolute path yields "/" first, then one entry
// per name; empty pieces vanish; a trailing "/" after a name yields a final
// "/" entry. No component is ever rewritten.

#include <string>
#include <string_view>
#include <vector>

namespace smcd::platform {

std::vector<std::string> pathComponents(std::string_view path);

// The path without its last component: "/a/b" -> "/a", "/a" -> "/",
// "/" -> "/", "a" -> "". Trailing slashes are ignored first.
std::string deletingLastPathComponent(std::string_view path);

}  // namespace smcd::platform
