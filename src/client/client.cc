#include "client/client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "daemon/vornik_fan_control_interface.h"

namespace smcd::client {
namespace {

using platform::ipc::Data;

Failure invalidated(std::string reason) { return {FailureKind::invalidated, std::move(reason)}; }

template <class T, class Convert>
Result<T> map(Result<std::vector<WireValue>> result, Convert convert) {
    if (!result.ok()) return result.failure();
    return convert(result.value());
}

Result<std::string> dataOf(Result<std::vector<WireValue>> result) {
    return map<std::string>(std::move(result), [](auto& v) { return std::get<Data>(v[0]).bytes; });
}

Result<std::string> textOf(Result<std::vector<WireValue>> result) {
    return map<std::string>(std::move(result), [](auto& v) { return std::get<std::string>(v[0]); });
}

Result<Status> statusOf(Result<std::vector<WireValue>> result) {
    return map<Status>(std::move(result), [](auto& v) {
        Status status{std::get<bool>(v[0]), std::nullopt};
        if (auto* message = std::get_if<std::string>(&v[1])) status.message = *message;
        return status;
    });
}

}  // namespace

Result<Client> Client::connect(std::string_view socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path))
        return Failure{FailureKind::unreachable, "socket path too long"};
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return Failure{FailureKind::unreachable, std::strerror(errno)};
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return Failure{FailureKind::unreachable, std::string(socketPath) + ": " + std::strerror(errno)};
    return Client(std::move(fd));
}

Result<std::string> Client::exchange(const std::string& request) {
    std::string_view rest = request;
    while (!rest.empty()) {
        const ssize_t n = ::send(socket_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return invalidated("connection invalidated while sending");
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    std::array<char, 64 * 1024> buffer;
    std::string payload;
    for (;;) {
        const auto status = reader_.next(payload);
        if (status == platform::ipc::FrameReader::Status::invalid) return invalidated("malformed reply frame");
        if (status == platform::ipc::FrameReader::Status::frame) return payload;
        const ssize_t n = ::recv(socket_.get(), buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return invalidated("connection invalidated by the daemon");
        reader_.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
}

Result<std::string> Client::roundTrip(const std::function<std::string(std::uint64_t id)>& encode) {
    std::string request;
    try {
        request = encode(nextId_);
    } catch (const nlohmann::json::exception&) {
        return Failure{FailureKind::badRequest, "a text argument is not valid UTF-8"};
    }
    ++nextId_;
    return exchange(request);
}

Result<std::vector<WireValue>> Client::call(std::string_view selector, const std::vector<WireValue>& arguments) {
    const auto& interface = vornikFanControlInterface();
    const auto method = interface.find(selector);
    if (!method) return Failure{FailureKind::badRequest, "unknown selector " + std::string(selector)};
    const auto& signature = interface.methods()[*method];
    if (arguments.size() != signature.arguments.size())
        return Failure{FailureKind::badRequest, "wrong number of arguments for " + std::string(selector)};
    for (std::size_t i = 0; i < arguments.size(); ++i)
        if (!platform::ipc::valueMatches(arguments[i], signature.arguments[i]))
            return Failure{FailureKind::badRequest, "argument " + std::to_string(i + 1) + " has the wrong type"};
    auto payload = roundTrip([&](std::uint64_t id) { return platform::ipc::encodeCall(id, selector, arguments); });
    if (!payload.ok()) return payload.failure();
    auto reply = platform::ipc::decodeReply(payload.value(), signature.reply);
    if (!reply) return invalidated("reply does not match " + std::string(selector));
    if (reply->id != nextId_ - 1) return invalidated("reply does not answer the call");
    return std::move(reply->values);
}

Result<nlohmann::json> Client::callUnchecked(std::string_view selector, const nlohmann::json& arguments) {
    auto payload = roundTrip([&](std::uint64_t id) { return platform::ipc::encodeCall(id, selector, arguments); });
    if (!payload.ok()) return payload.failure();
    auto parsed = nlohmann::json::parse(payload.value(), nullptr, false);
    const auto id = parsed.is_object() ? parsed.find("id") : parsed.end();
    if (id == parsed.end() || !id->is_number_unsigned() || id->get<std::uint64_t>() != nextId_ - 1 ||
        !parsed.contains("reply"))
        return invalidated("reply does not answer the call");
    return parsed["reply"];
}

Result<std::string> Client::capabilities() { return dataOf(call("capabilitiesWithReply:", {})); }
Result<Status> Client::setFan(std::int64_t index, bool manual, std::int64_t targetRPM) {
    return statusOf(call("setFanWithIndex:manual:targetRPM:reply:", {index, manual, targetRPM}));
}
Result<Status> Client::resetAllToAuto() { return statusOf(call("resetAllToAutoWithReply:", {})); }
Result<std::string> Client::ping() { return textOf(call("pingWithReply:", {})); }
Result<std::string> Client::runMaintenance(const Paths& taskIDs) {
    return dataOf(call("runMaintenanceWithTaskIDs:reply:", {taskIDs}));
}
Result<std::string> Client::dumpBackgroundItems() { return textOf(call("dumpBackgroundItemsWithReply:", {})); }
Result<bool> Client::terminateForUpdate() {
    return map<bool>(call("terminateForUpdateWithReply:", {}), [](auto& v) { return std::get<bool>(v[0]); });
}
Result<std::string> Client::removeAppBundles(const Paths& paths, bool permanent) {
    return dataOf(call("removeAppBundlesWithPaths:permanent:reply:", {paths, permanent}));
}
Result<std::string> Client::removeSupportPaths(const Paths& paths, bool permanent) {
    return dataOf(call("removeSupportPathsWithPaths:permanent:reply:", {paths, permanent}));
}
Result<Status> Client::setLaunchdItem(std::string_view label, std::string_view plistPath, bool enable) {
    return statusOf(call("setLaunchdItemWithLabel:plistPath:enable:reply:",
                         {std::string(label), std::string(plistPath), enable}));
}
Result<std::string> Client::measurePrivilegedPaths(const Paths& paths) {
    return dataOf(call("measurePrivilegedPathsWithPaths:reply:", {paths}));
}
Result<Count> Client::deleteLocalSnapshots(std::int64_t olderThanDays, std::string_view volume) {
    return map<Count>(call("deleteLocalSnapshotsWithOlderThanDays:volume:reply:", {olderThanDays, std::string(volume)}),
                      [](auto& v) { return Count{std::get<std::int64_t>(v[0]), std::get<std::string>(v[1])}; });
}
Result<std::string> Client::removeSystemCachePaths(const Paths& paths) {
    return dataOf(call("removeSystemCachePathsWithPaths:reply:", {paths}));
}
Result<std::string> Client::removeSystemLogPaths(const Paths& paths) {
    return dataOf(call("removeSystemLogPathsWithPaths:reply:", {paths}));
}
Result<std::string> Client::removeGPUShaderCachePaths(const Paths& paths) {
    return dataOf(call("removeGPUShaderCachePathsWithPaths:reply:", {paths}));
}
Result<std::string> Client::removeRosettaCachePaths(const Paths& paths) {
    return dataOf(call("removeRosettaCachePathsWithPaths:reply:", {paths}));
}
Result<std::string> Client::systemNetworkConnections() {
    return textOf(call("systemNetworkConnectionsWithReply:", {}));
}

}  // namespace smcd::client
