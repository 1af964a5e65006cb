#include "smcctl/request.h"

#include <array>
#include <charconv>

namespace smcd::smcctl {
namespace {

using protocol::Method;
using platform::ipc::WireType;
using platform::ipc::WireValue;
using Words = std::vector<std::string>;

constexpr std::array kFamilies = {
    Family{"appBundle", Method::removeAppBundles, true},
    Family{"supportFile", Method::removeSupportPaths, true},
    Family{"systemCache", Method::removeSystemCachePaths, false},
    Family{"systemLogs", Method::removeSystemLogPaths, false},
    Family{"gpuShaderCaches", Method::removeGPUShaderCachePaths, false},
    Family{"rosettaCaches", Method::removeRosettaCachePaths, false},
};

std::int64_t integerArgument(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) throw UsageError{"not an integer: " + text};
    return value;
}

std::string_view typeName(WireType type) {
    switch (type) {
        case WireType::int64: return "an integer";
        case WireType::boolean: return "true or false";
        case WireType::text: return "a JSON string";
        case WireType::textArray: return "a JSON array of strings";
        case WireType::optionalText: return "a JSON string or null";
        case WireType::data: return "data";
    }
    return "a value";
}

Request removal(std::span<const std::string> args, Permanence permanence) {
    if (args.empty()) throw UsageError{"remove needs a family (remove FAMILY PATH...)"};
    for (const Family& family : kFamilies) {
        if (args[0] != family.name) continue;
        if (!family.choosesPermanence && permanence != Permanence::unset)
            throw UsageError{args[0] + " is always removed permanently and takes no --trash or --permanent"};
        Request request{family.method, {Words(args.begin() + 1, args.end())}, Shown::records, Records::removal};
        // The Trash unless asked otherwise: the undoable choice.
        if (family.choosesPermanence) request.arguments.emplace_back(permanence == Permanence::permanent);
        return request;
    }
    throw UsageError{"unknown family " + args[0]};
}

}  // namespace

std::span<const Family> removalFamilies() { return kFamilies; }

Request checkedCall(std::string_view selector, std::string_view arguments) {
    const auto number = protocol::vornikFanControlInterface().find(selector);
    if (!number) throw UsageError{"unknown selector " + std::string(selector) + " (not a method of the protocol)"};
    const auto& signature = protocol::vornikFanControlInterface().methods()[*number];
    const auto values = nlohmann::json::parse(arguments, nullptr, false);
    if (!values.is_array()) throw UsageError{"the arguments of call must be one JSON array"};
    const std::string name(selector);
    if (values.size() != signature.arguments.size())
        throw UsageError{name + " takes " + std::to_string(signature.arguments.size()) + " arguments, not " +
                         std::to_string(values.size()) + ": " + values.dump()};
    Request request{static_cast<Method>(*number), {}, Shown::values};
    for (std::size_t i = 0; i < values.size(); ++i) {
        auto value = platform::ipc::decodeValue(values[i], signature.arguments[i]);
        if (!value)
            throw UsageError{"argument " + std::to_string(i + 1) + " of " + name + " must be " +
                             std::string(typeName(signature.arguments[i])) + ", not " + values[i].dump()};
        request.arguments.push_back(std::move(*value));
    }
    return request;
}

Request requestFor(const std::string& command, std::span<const std::string> args, Permanence permanence) {
    if (command == "remove") return removal(args, permanence);
    if (permanence != Permanence::unset) throw UsageError{"--trash and --permanent belong to remove only"};
    auto need = [&](std::size_t count) {
        if (args.size() != count) throw UsageError{"wrong number of arguments for " + command};
    };
    if (command == "ping") return need(0), Request{Method::ping, {}, Shown::text};
    if (command == "capabilities") return need(0), Request{Method::capabilities, {}, Shown::records, Records::fans};
    if (command == "reset-fans") return need(0), Request{Method::resetAllToAuto, {}, Shown::status};
    if (command == "background-items") return need(0), Request{Method::dumpBackgroundItems, {}, Shown::text};
    if (command == "network") return need(0), Request{Method::systemNetworkConnections, {}, Shown::text};
    if (command == "terminate") return need(0), Request{Method::terminateForUpdate, {}, Shown::boolean};
    if (command == "maintenance") return Request{Method::runMaintenance, {Words(args.begin(), args.end())}, Shown::records, Records::maintenance};
    if (command == "measure")
        return Request{Method::measurePrivilegedPaths, {Words(args.begin(), args.end())}, Shown::records,
                       Records::measurement};
    if (command == "set-fan") {
        if (args.size() == 2 && args[1] == "auto")
            return Request{Method::setFan, {integerArgument(args[0]), false, std::int64_t{0}}, Shown::status};
        if (args.size() == 3 && args[1] == "manual")
            return Request{Method::setFan, {integerArgument(args[0]), true, integerArgument(args[2])}, Shown::status};
        throw UsageError{"set-fan INDEX manual RPM | set-fan INDEX auto"};
    }
    if (command == "launchd") {
        need(3);
        if (args[0] != "enable" && args[0] != "disable") throw UsageError{"launchd enable|disable LABEL PLIST"};
        return Request{Method::setLaunchdItem, {args[1], args[2], args[0] == "enable"}, Shown::status};
    }
    if (command == "delete-snapshots") {
        need(2);
        return Request{Method::deleteLocalSnapshots, {integerArgument(args[0]), args[1]}, Shown::count};
    }
    if (command == "call") {
        if (args.empty() || args.size() > 2) throw UsageError{"call SELECTOR [JSON-ARRAY-OF-ARGUMENTS]"};
        return checkedCall(args[0], args.size() == 2 ? std::string_view(args[1]) : "[]");
    }
    throw UsageError{"unknown command " + command};
}

}  // namespace smcd::smcctl
