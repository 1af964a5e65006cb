#include "maintenance/command_runners.h"

#include "common/unicode.h"
#include "maintenance/tool_environment.h"
#include "platform/process/process_launcher.h"

namespace smcd {
namespace {

using platform::OutputRoute;

using ProcessOutcome = Expected<platform::ProcessExit, platform::LaunchFailure>;

ProcessOutcome run(std::string_view executable, std::vector<std::string> arguments, OutputRoute output,
                   OutputRoute error) {
    platform::ChildInvocation invocation;
    invocation.executable = std::string(executable);
    invocation.arguments = std::move(arguments);
    invocation.environment = toolEnvironment();
    invocation.output = output;
    invocation.error = error;
    return platform::runToExit(invocation);
}

// Output that is not UTF-8 is dropped whole rather than decoded lossily.
std::string textOf(std::string bytes) {
    if (!unicode::isValidUtf8(bytes)) return {};
    return bytes;
}

std::string capturedText(ProcessOutcome outcome) {
    if (outcome) return textOf(std::move(outcome->captured));
    return {};
}

}  // namespace

RunResult runShell(std::string_view commandLine) {
    auto outcome = run(kShellPath, {"-c", std::string(commandLine)}, OutputRoute::capture, OutputRoute::capture);
    if (!outcome) return RunResult{kLaunchFailedStatus, outcome.error().description};
    const std::string text = textOf(std::move(outcome->captured));
    return RunResult{outcome->status, std::string(unicode::trimWhitespaceAndNewlines(text))};
}

std::int32_t runLaunchctl(const std::vector<std::string>& arguments) {
    const auto outcome = run(kLaunchctlPath, arguments, OutputRoute::discard, OutputRoute::discard);
    return outcome ? outcome->status : kLaunchFailedStatus;
}

std::string runLsof(const std::vector<std::string>& arguments) {
    return capturedText(run(kLsofPath, arguments, OutputRoute::capture, OutputRoute::discard));
}

std::string runBackgroundItemDump() {
    return capturedText(run(kSfltoolPath, {"dumpbtm"}, OutputRoute::capture, OutputRoute::inherit));
}

}  // namespace smcd
