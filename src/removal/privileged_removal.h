#pragma once

// The removal contract as data and the screening that guards every removal,
// measurement and launchd toggle. Everything is compiled in and immutable;
// every operation is reentrant, reads the file system and changes nothing.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smcd::PrivilegedRemoval {

enum class Target { appBundle, supportFile, systemCache, systemLogs, gpuShaderCaches, rosettaCaches };

// Raw values equal the case names; construction accepts exactly one of them.
std::string_view rawValue(Target target);
std::optional<Target> targetFromRawValue(std::string_view raw);

const std::vector<std::string>& applicationRoots();
const std::vector<std::string>& supportRoots();
const std::vector<std::string>& systemCacheRoots();
const std::vector<std::string>& systemLogRoots();
const std::vector<std::string>& gpuShaderCacheRoots();
const std::vector<std::string>& rosettaCacheRoots();
const std::vector<std::string>& launchdRoots();
const std::vector<std::string>& measurementRoots();
inline constexpr std::string_view usersRoot = "/Users";

// The name lists that sharpen the family rules and the ancestor-link check.
bool isSystemAliasRoot(std::string_view path);        // "/private", "/var", "/tmp", "/etc"
bool isShaderCacheFolderName(std::string_view name);  // exact, case-sensitive
const std::vector<std::string>& sensorBundlePrefixes();  // lower-case, matched against lower-cased components
inline constexpr std::string_view activePowerLogDatabase =
    "/var/db/powerlog/Library/PerfPowerTelemetry/BackgroundProcessing/CurrentBackgroundProcessingDB.BGSQL";

struct Verdict {
    std::vector<std::string> allowed;
    std::vector<std::string> refused;
    bool operator==(const Verdict&) const = default;
};

// Screening of a request: each distinct path (canonical equivalence) once, in
// request order, exactly as sent.
Verdict screen(const std::vector<std::string>& paths, Target target, uid_t owner);
Verdict screen(const std::vector<std::string>& paths, Target target);

bool accepts(std::string_view path, Target target);
bool accepts(std::string_view path, Target target, uid_t owner);
bool acceptsResolved(std::string_view path, Target target, uid_t owner);
bool acceptsResolved(std::string_view path, Target target);
std::optional<std::string> resolved(std::string_view path);

std::optional<std::string> acceptedRoot(std::string_view path, Target target);
std::optional<std::string> acceptedRoot(std::string_view path, Target target, uid_t owner);

bool acceptsMeasurement(std::string_view path);
bool acceptsMeasurement(std::string_view path, uid_t owner);

// The checks that removal, measurement and launchd screening share.
bool isCanonicalAbsolute(std::string_view path);
bool isSymbolicLinkLeaf(std::string_view path);  // the leaf check fails when true
bool hasLinkedAncestor(std::string_view path);
std::optional<uid_t> homeOwner(std::string_view path);
bool isScopedToPeer(std::string_view path, uid_t owner);

bool acceptsLaunchdPlist(std::string_view path, std::string_view label);
bool isValidLaunchdLabel(std::string_view label);

}  // namespace smcd::PrivilegedRemoval
