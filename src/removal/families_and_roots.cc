// The compiled-in contract: which families exist and which roots each may
// reach. Function-local statics give the thread-safe one-time construction,
// and nothing hands out a mutable reference.

#include <array>
#include <set>

#include "common/limits.h"
#include "common/unicode.h"
#include "removal/families_and_roots.h"

namespace smcd::removal {
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
    static const std::vector<std::string> kRoots{"/Applications", "/Applications/Utilities"};
    return kRoots;
}

const std::vector<std::string>& supportRoots() {
    static const std::vector<std::string> kRoots{
        "/Library/Application Support", "/Library/Caches",         "/Library/Preferences",
        "/Library/LaunchAgents",        "/Library/LaunchDaemons",  "/Library/PrivilegedHelperTools",
        "/Library/Logs",                "/private/var/db/receipts",
    };
    return kRoots;
}

const std::vector<std::string>& systemCacheRoots() {
    static const std::vector<std::string> kRoots{"/Library/Caches", "/System/Library/Caches", "/var/folders"};
    return kRoots;
}

const std::vector<std::string>& systemLogRoots() {
    static const std::vector<std::string> kRoots{"/var/log", "/Library/Logs", "/var/db/diagnostics",
                                                "/var/db/DiagnosticPipeline", "/var/db/powerlog"};
    return kRoots;
}

const std::vector<std::string>& gpuShaderCacheRoots() {
    static const std::vector<std::string> kRoots{"/var/folders"};
    return kRoots;
}

const std::vector<std::string>& rosettaCacheRoots() {
    static const std::vector<std::string> kRoots{"/Library/Apple/usr/share/rosetta/rosetta_update_bundle"};
    return kRoots;
}

const std::vector<std::string>& launchdRoots() {
    static const std::vector<std::string> kRoots{"/Library/LaunchAgents", "/Library/LaunchDaemons"};
    return kRoots;
}

const std::vector<std::string>& measurementRoots() {
    static const std::vector<std::string> kRoots{"/Library/Caches", "/System/Library/Caches", "/var/log",
                                                "/var/folders", "/Users"};
    return kRoots;
}

bool isSystemAliasRoot(std::string_view path) {
    static const std::set<std::string> kAliases = canonicalSet({"/private", "/var", "/tmp", "/etc"});
    // Each alias is one name below "/": callers asking of every ancestor of a
    // path are answered for the deeper ones without normalizing them.
    if (path.size() > limits::kMaxNameBytes + 1 || path.find('/', 1) != std::string_view::npos) return false;
    return kAliases.count(unicode::canonicalForm(path)) > 0;
}

bool isShaderCacheFolderName(std::string_view name) {
    static const std::set<std::string> kNames = canonicalSet({"com.apple.gpuarchiver", "com.apple.metal", "com.apple.metalfe"});
    return kNames.count(unicode::canonicalForm(name)) > 0;
}

const std::vector<std::string>& sensorBundlePrefixes() {
    static const std::vector<std::string> kPrefixes{
        "com.crowdstrike.", "com.sentinelone.",      "com.sentinel-labs.",   "com.eset.",
        "com.jamf.",        "com.jamfsoftware.",     "com.paloaltonetworks.", "com.cisco.anyconnect",
        "com.cisco.secureclient",
    };
    return kPrefixes;
}

}  // namespace smcd::removal
