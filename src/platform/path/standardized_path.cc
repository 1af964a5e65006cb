#include "platform/path/standardized_path.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace smcd::platform {
namespace {

constexpr std::string_view kPrivatePrefix = "/private";

std::optional<std::string> passwdHome(std::string_view user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int status = 0;
    if (user.empty()) {
        status = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
    } else {
        const std::string name(user);
        status = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    }
    if (status != 0 || found == nullptr || found->pw_dir == nullptr || *found->pw_dir == '\0') return std::nullopt;
    return std::string(found->pw_dir);
}

bool existsFollowingLinks(const std::string& path) {
    // A name with an embedded NUL would be cut short by the system call and
    // answer for a different file.
    if (path.find('\0') != std::string::npos) return false;
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// "~" or "~user" up to the first "/" becomes that user's home; an unknown
// user leaves the path as it is.
std::string expandingTilde(std::string_view path, const PathLookups& lookups) {
    if (path.empty() || path.front() != '~') return std::string(path);
    const std::size_t slash = path.find('/');
    const std::string_view user = path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
    const std::optional<std::string> home = lookups.homeDirectory ? lookups.homeDirectory(user) : std::nullopt;
    if (!home) return std::string(path);
    std::string expanded = *home;
    if (slash != std::string_view::npos) expanded.append(path.substr(slash));
    return expanded;
}

}  // namespace

const PathLookups& systemPathLookups() {
    static const PathLookups lookups{passwdHome, existsFollowingLinks};
    return lookups;
}

std::string standardizingPath(std::string_view original, const PathLookups& lookups) {
    const std::string path = expandingTilde(original, lookups);
    if (path.empty()) return path;
    const bool absolute = path.front() == '/';

    std::vector<std::string_view> kept;
    std::string_view rest = path;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view name = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (name.empty() || name == ".") continue;
        if (name == ".." && absolute) {
            // Lexically, and never above "/".
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(name);
    }

    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) result.push_back('/');
        result.append(kept[i]);
    }
    if (result.empty()) return ".";

    if (absolute && result.size() > kPrivatePrefix.size() && result.compare(0, kPrivatePrefix.size(), kPrivatePrefix) == 0 &&
        result[kPrivatePrefix.size()] == '/') {
        std::string shortened = result.substr(kPrivatePrefix.size());
        if (lookups.exists && lookups.exists(shortened)) return shortened;
    }
    return result;
}

std::string standardizingPath(std::string_view path) { return standardizingPath(path, systemPathLookups()); }

}  // namespace smcd::platform
