// The compiled-in contract: which families exist and which roots each may
// reach. Function-local statics give the thread-safe one-time construction,
// and nothing hands out a mutable reference.

#include <array>
#include <set>

#include "common/unicode.h"
#include "removal/families_and_roots.h"

namespace smcd::PrivilegedRemoval {
namespace {

struct TargetName {
    Target target;
    std::string_view raw;
};

constexpr std::array<TargetName, 6> kTargetNames{{
    {Target::appBundle, "appBundle"},
    {Target::supportFile, "supportFile"},
    {Target::systemCache, "systemCache"},
    {Target::systemLogs, "systemLogs"},
    {Target::gpuShaderCaches, "gpuShaderCaches"},
    {Target::rosettaCaches, "rosettaCaches"},
}};

// Sets keyed by canonical form, so a decomposed spelling finds its member.
std::set<std::string> canonicalSet(std::initializer_list<std::string_view> members) {
    std::set<std::string> set;
    for (std::string_view member : members) set.insert(unicode::canonicalForm(member));
    return set;
}

}  // namespace

std::string_view rawValue(Target target) {
    for (const TargetName& entry : kTargetNames)
        if (entry.target == target) return entry.raw;
    return {};
}

std::optional<Target> targetFromRawValue(std::string_view raw) {
    for (const TargetName& entry : kTargetNames)
        if (entry.raw == raw) return entry.target;
    return std::nullopt;
}

const std::vector<std::string>& applicationRoots() {
    static const std::vector<std::string> roots{"/Applications", "/Applications/Utilities"};
    return roots;
}

const std::vector<std::string>& supportRoots() {
    static const std::vector<std::string> roots{
        "/Library/Application Support", "/Library/Caches",         "/Library/Preferences",
        "/Library/LaunchAgents",        "/Library/LaunchDaemons",  "/Library/PrivilegedHelperTools",
        "/Library/Logs",                "/private/var/db/receipts",
    };
    return roots;
}

const std::vector<std::string>& systemCacheRoots() {
    static const std::vector<std::string> roots{"/Library/Caches", "/System/Library/Caches", "/var/folders"};
    return roots;
}

const std::vector<std::string>& systemLogRoots() {
    static const std::vector<std::string> roots{"/var/log", "/Library/Logs", "/var/db/diagnostics",
                                                "/var/db/DiagnosticPipeline", "/var/db/powerlog"};
    return roots;
}

const std::vector<std::string>& gpuShaderCacheRoots() {
    static const std::vector<std::string> roots{"/var/folders"};
    return roots;
}

const std::vector<std::string>& rosettaCacheRoots() {
    static const std::vector<std::string> roots{"/Library/Apple/usr/share/rosetta/rosetta_update_bundle"};
    return roots;
}

const std::vector<std::string>& launchdRoots() {
    static const std::vector<std::string> roots{"/Library/LaunchAgents", "/Library/LaunchDaemons"};
    return roots;
}

const std::vector<std::string>& measurementRoots() {
    static const std::vector<std::string> roots{"/Library/Caches", "/System/Library/Caches", "/var/log",
                                                "/var/folders", "/Users"};
    return roots;
}

bool isSystemAliasRoot(std::string_view path) {
    static const std::set<std::string> aliases = canonicalSet({"/private", "/var", "/tmp", "/etc"});
    return aliases.count(unicode::canonicalForm(path)) > 0;
}

bool isShaderCacheFolderName(std::string_view name) {
    static const std::set<std::string> names = canonicalSet({"com.apple.gpuarchiver", "com.apple.metal", "com.apple.metalfe"});
    return names.count(unicode::canonicalForm(name)) > 0;
}

const std::vector<std::string>& sensorBundlePrefixes() {
    static const std::vector<std::string> prefixes{
        "com.crowdstrike.", "com.sentinelone.",      "com.sentinel-labs.",   "com.eset.",
        "com.jamf.",        "com.jamfsoftware.",     "com.paloaltonetworks.", "com.cisco.anyconnect",
        "com.cisco.secureclient",
    };
    return prefixes;
}

}  // namespace smcd::PrivilegedRemoval
