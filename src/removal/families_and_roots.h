#pragma once

// The removal families and the compiled-in roots and name lists each may
// reach. Everything is immutable and constructed once.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smcd::removal {

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
inline constexpr std::string_view kUsersRoot = "/Users";

// The name lists that sharpen the family rules and the ancestor-link check.
bool isSystemAliasRoot(std::string_view path);        // "/private", "/var", "/tmp", "/etc"
bool isShaderCacheFolderName(std::string_view name);  // exact, case-sensitive
const std::vector<std::string>& sensorBundlePrefixes();  // lower-case, matched against lower-cased components
inline constexpr std::string_view kActivePowerLogDatabase =
    "/var/db/powerlog/Library/PerfPowerTelemetry/BackgroundProcessing/CurrentBackgroundProcessingDB.BGSQL";

}  // namespace smcd::removal
