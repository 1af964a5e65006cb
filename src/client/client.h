#pragma once

// Client library of the smcd protocol: connect, call with typed arguments,
// wait for the reply. Used by smcctl and by the end-to-end tests.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/unique_fd.h"
#include "platform/ipc/wire.h"

namespace smcd::client {

inline constexpr std::string_view kDefaultSocketPath = "/var/run/com.vornik.smcd.socket";

enum class FailureKind {
    unreachable,   // no daemon answers at the socket
    invalidated,   // the daemon closed the connection instead of replying
    badRequest,    // refused locally: unknown selector or arguments of the wrong types
};

struct Failure {
    FailureKind kind;
    std::string reason;
};

template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Failure failure) : state_(std::move(failure)) {}
    bool ok() const { return state_.index() == 0; }
    const T& value() const { return std::get<0>(state_); }
    T& value() { return std::get<0>(state_); }
    const Failure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

struct Status {
    bool success;
    std::optional<std::string> message;
};

struct Count {
    std::int64_t count;
    std::string message;
};

using platform::ipc::WireValue;
using Paths = std::vector<std::string>;

class Client {
public:
    static Result<Client> connect(std::string_view socketPath = kDefaultSocketPath);

    // Checks the arguments against the method's types before sending.
    Result<std::vector<WireValue>> call(std::string_view selector, const std::vector<WireValue>& arguments);
    // Sends any selector with any JSON arguments, unchecked (protocol tests);
    // the reply comes back as its JSON array of values.
    Result<nlohmann::json> callUnchecked(std::string_view selector, const nlohmann::json& arguments);

    Result<std::string> capabilities();
    Result<Status> setFan(std::int64_t index, bool manual, std::int64_t targetRPM);
    Result<Status> resetAllToAuto();
    Result<std::string> ping();
    Result<std::string> runMaintenance(const Paths& taskIDs);
    Result<std::string> dumpBackgroundItems();
    Result<bool> terminateForUpdate();
    Result<std::string> removeAppBundles(const Paths& paths, bool permanent);
    Result<std::string> removeSupportPaths(const Paths& paths, bool permanent);
    Result<Status> setLaunchdItem(std::string_view label, std::string_view plistPath, bool enable);
    Result<std::string> measurePrivilegedPaths(const Paths& paths);
    Result<Count> deleteLocalSnapshots(std::int64_t olderThanDays, std::string_view volume);
    Result<std::string> removeSystemCachePaths(const Paths& paths);
    Result<std::string> removeSystemLogPaths(const Paths& paths);
    Result<std::string> removeGPUShaderCachePaths(const Paths& paths);
    Result<std::string> removeRosettaCachePaths(const Paths& paths);
    Result<std::string> systemNetworkConnections();

    int socket() const { return socket_.get(); }

private:
    explicit Client(UniqueFd socket) : socket_(std::move(socket)) {}
    // Encodes a call under the next id, sends it and waits for its reply payload.
    Result<std::string> roundTrip(const std::function<std::string(std::uint64_t id)>& encode);
    // Sends one encoded call and waits for the next reply payload.
    Result<std::string> exchange(const std::string& request);

    UniqueFd socket_;
    std::uint64_t nextId_ = 1;
    platform::ipc::FrameReader reader_{platform::ipc::kMaxReplyFrameSize};
};

}  // namespace smcd::client
