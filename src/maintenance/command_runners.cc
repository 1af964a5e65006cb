#include "maintenance/command_runners.h"

#include <variant>

#include "common/unicode.h"
#include "maintenance/tool_environment.h"
#include "platform/process/process_launcher.h"

namespace smcd {
namespace {

using platform::OutputRoute;

platform::ProcessOutcome run(std::string_view executable, std::vector<std::string> arguments,
                             OutputRoute output, OutputRoute error) {
    platform::LaunchSpec spec;
    spec.executable = std::string(executable);
    spec.arguments = std::move(arguments);
    spec.environment = toolEnvironment();
    spec.output = output;
    spec.error = error;
    return platform::runToExit(spec);
}

// Output that is not UTF-8 is dropped whole rather than decoded lossily.
std::string textOf(std::string bytes) {
    if (!unicode::isValidUtf8(bytes)) return {};
    return bytes;
}

std::string capturedText(const platform::ProcessOutcome& outcome) {
    if (const auto* exit = std::get_if<platform::ProcessExit>(&outcome)) return textOf(exit->captured);
    return {};
}

}  // namespace

RunResult runShell(std::string_view commandLine) {
    auto outcome = run(shellPath, {"-c", std::string(commandLine)}, OutputRoute::capture, OutputRoute::capture);
    if (const auto* failure = std::get_if<platform::LaunchFailure>(&outcome)) {
        return RunResult{launchFailedStatus, failure->description};
    }
    auto& exit = std::get<platform::ProcessExit>(outcome);
    const std::string text = textOf(std::move(exit.captured));
    return RunResult{exit.status, std::string(unicode::trimWhitespaceAndNewlines(text))};
}

std::int32_t runLaunchctl(const std::vector<std::string>& arguments) {
    const auto outcome = run(launchctlPath, arguments, OutputRoute::discard, OutputRoute::discard);
    if (const auto* exit = std::get_if<platform::ProcessExit>(&outcome)) return exit->status;
    return launchFailedStatus;
}

std::string runLsof(const std::vector<std::string>& arguments) {
    return capturedText(run(lsofPath, arguments, OutputRoute::capture, OutputRoute::discard));
}

std::string runBackgroundItemDump() {
    return capturedText(run(sfltoolPath, {"dumpbtm"}, OutputRoute::capture, OutputRoute::inherit));
}

}  // namespace smcd
