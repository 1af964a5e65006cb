#include "removal/family_rules.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/unicode.h"
#include "platform/path/path_components.h"
#include "removal/path_text.h"

namespace smcd::removal::rules {
namespace {

bool isBelowAny(std::string_view path, const std::vector<std::string>& roots) {
    for (const std::string& root : roots)
        if (text::isStrictlyBelow(path, root)) return true;
    return false;
}

bool isExistingDirectory(std::string_view path) {
    const std::string name(path);
    struct stat status {};
    return ::lstat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// `suffix` holds no "/", so only the path's last name can end in it, and the
// character before it lies in that name (or is the "/", which joins nothing).
bool endsWithCharacters(std::string_view path, std::string_view suffix) {
    const std::string whole = unicode::canonicalForm(path.substr(path.rfind('/') + 1));
    if (whole.size() < suffix.size() || whole.compare(whole.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    // "x.app" followed by a combining mark ends in a different character.
    const std::string_view head = std::string_view(whole).substr(0, whole.size() - suffix.size());
    return unicode::characterCount(whole) == unicode::characterCount(head) + unicode::characterCount(suffix);
}

bool acceptsAppBundle(std::string_view path) {
    if (!endsWithCharacters(path, ".app")) return false;
    if (!isExistingDirectory(path)) return false;
    const std::string parent = platform::deletingLastPathComponent(path);
    return text::isOneOf(parent, applicationRoots()) || isPerUserApplicationsFolder(parent);
}

bool startsWithSensorPrefix(std::string_view component) {
    const std::string lowered = unicode::lowercased(component);
    for (const std::string& prefix : sensorBundlePrefixes())
        // Deliberately scalar-wise, not per character: this is a deny list,
        // and a combining mark glued to a prefix must not slip past it.
        if (unicode::hasCanonicalPrefix(lowered, prefix)) return true;
    return false;
}

}  // namespace

bool isPerUserApplicationsFolder(std::string_view directory) {
    const std::vector<std::string> components = platform::pathComponents(directory);
    return components.size() == 4 && components[0] == "/" && text::same(components[1], "Users") &&
           text::same(components[3], "Applications");
}

bool isPerUserLibraryItem(std::string_view path) {
    const std::vector<std::string> components = platform::pathComponents(path);
    return components.size() >= 6 && components[0] == "/" && text::same(components[1], "Users") &&
           text::same(components[3], "Library");
}

bool touchesActivePowerLogDatabase(std::string_view path) {
    constexpr std::string_view kPrivate = "/private/";
    if (path.substr(0, kPrivate.size()) == kPrivate) path.remove_prefix(kPrivate.size() - 1);
    const std::string lowered = unicode::lowercased(path);
    const std::string database = unicode::lowercased(kActivePowerLogDatabase);
    return text::same(lowered, database) || text::same(lowered, database + "-wal") ||
           text::same(lowered, database + "-shm") || unicode::hasCanonicalPrefix(database, lowered + "/");
}

bool hasShaderCacheShape(std::string_view path) {
    const std::vector<std::string> components = platform::pathComponents(path);
    if (components.size() < 7) return false;
    if (components[0] != "/" || !text::same(components[1], "var") || !text::same(components[2], "folders") ||
        !text::same(components[5], "C"))
        return false;
    bool holdsShaderFolder = false;
    for (std::size_t i = 6; i < components.size(); ++i)
        if (isShaderCacheFolderName(components[i])) holdsShaderFolder = true;
    if (!holdsShaderFolder) return false;
    for (const std::string& component : components)
        if (startsWithSensorPrefix(component)) return false;
    return true;
}

bool familyAccepts(std::string_view path, Target target) {
    switch (target) {
        case Target::appBundle:
            return acceptsAppBundle(path);
        case Target::supportFile:
            return isBelowAny(path, supportRoots()) || isPerUserLibraryItem(path);
        case Target::systemCache:
            return isBelowAny(path, systemCacheRoots());
        case Target::systemLogs:
            return !touchesActivePowerLogDatabase(path) && isBelowAny(path, systemLogRoots());
        case Target::gpuShaderCaches:
            return isBelowAny(path, gpuShaderCacheRoots()) && hasShaderCacheShape(path);
        case Target::rosettaCaches:
            return isBelowAny(path, rosettaCacheRoots());
    }
    return false;
}

}  // namespace smcd::removal::rules
