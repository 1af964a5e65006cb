// Compiled, never linked, by format_check.cmake: with a case macro defined,
// the one call that must not build; with none, the matched calls that must.

#include <cstddef>
#include <string>

#include "platform/log/logger.h"

using smcd::platform::LogLevel;

void logCases(const smcd::platform::Logger& logger, [[maybe_unused]] const std::string& path,
              [[maybe_unused]] std::size_t count) {
#if defined(TEXT_FOR_A_NUMBER)
    SMCD_LOG(logger, LogLevel::error, "pid %{public}d", path);
#elif defined(LONG_FOR_AN_INT)
    SMCD_LOG(logger, LogLevel::error, "exit %{public}d", 1L);
#elif defined(SIGNED_FOR_UNSIGNED)
    SMCD_LOG(logger, LogLevel::error, "uid %{public}u", -1);
#elif defined(BOOL_FOR_A_NUMBER)
    SMCD_LOG(logger, LogLevel::error, "removed %{public}d", count > 0);
#elif defined(VALUE_MISSING)
    SMCD_LOG(logger, LogLevel::error, "refused %{private}s [%{public}s]", path);
#elif defined(VALUE_LEFT_OVER)
    SMCD_LOG(logger, LogLevel::error, "refused %{private}s", path, count);
#elif defined(UNKNOWN_MARK)
    SMCD_LOG(logger, LogLevel::error, "refused %{sensitive}s", path);
#elif defined(RUNTIME_FORMAT)
    const char* format = "refused %{private}s";
    SMCD_LOG(logger, LogLevel::error, format, path);
#else
    SMCD_LOG(logger, LogLevel::error, "pid %{public}d exit %{public}ld", 1, 1L);
    SMCD_LOG(logger, LogLevel::error, "uid %{public}u, %{public}zu bytes", 1u, count);
    SMCD_LOG(logger, LogLevel::notice, "refused %{private}s [%{public}s] at 100%%", path, "appBundle");
    SMCD_LOG(logger, LogLevel::notice, "no value");
#endif
}
