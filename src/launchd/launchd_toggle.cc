#include "launchd/launchd_toggle.h"

#include <optional>
#include <vector>

#include "launchd/launchd_screening.h"
#include "maintenance/command_runners.h"
#include "platform/log/daemon_log.h"

namespace smcd::launchd {
namespace {

using platform::LogLevel;

struct Step {
    std::vector<std::string> arguments;
    std::string_view failureMessage;
};

}  // namespace

Expected<void, std::string> setLaunchdItem(std::string_view label, std::string_view plistPath, bool enable, uid_t peerUID) {
    const Outcome domain = resolve(plistPath, label, peerUID);
    if (!domain) {
        SMCD_LOG(daemonLog(), LogLevel::error, "launchd toggle refused (%{public}s): %{private}s",
                 rawValue(domain.error()), label);
        return unexpected(std::string(kRefusedToggleMessage));
    }

    const std::string target = domain->target();
    const std::string service = domain->serviceTarget(label);
    const Step steps[2] = {
        enable ? Step{{"enable", service}, "launchctl enable failed"}
               : Step{{"bootout", service}, "launchctl bootout failed"},
        enable ? Step{{"bootstrap", target, std::string(plistPath)}, "launchctl bootstrap failed"}
               : Step{{"disable", service}, "launchctl disable failed"},
    };
    std::optional<std::string> message;
    for (const Step& step : steps) {
        // The second run happens whatever the first did; the first failure names the message.
        if (runLaunchctl(step.arguments) != 0 && !message) message = std::string(step.failureMessage);
    }

    SMCD_LOG(daemonLog(), LogLevel::notice, "launchd %{public}s in %{public}s \u2192 %{public}s",
             enable ? "enable" : "disable", target, message ? "failed" : "ok");
    if (message) return unexpected(std::move(*message));
    return {};
}

}  // namespace smcd::launchd
