#pragma once

// Client library of the smcd protocol: connect, call with typed arguments,
// wait for the reply. Used by smcctl and by the end-to-end tests.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/expected.h"
#include "common/unique_fd.h"
#include "platform/ipc/linux/wire.h"
#include "protocol/vornik_fan_control_protocol.h"

namespace smcd::client {

// Where the daemon serves its service: the path the daemon itself derives
// from the service name.
std::string defaultSocketPath();

enum class FailureKind {
    unreachable,   // no daemon answers at the socket
    invalidated,   // the daemon closed the connection instead of replying
    badRequest,    // refused locally: unknown selector, arguments of the wrong types, or a call too large to send
};

struct Failure {
    FailureKind kind;
    std::string reason;
};

template <class T>
using Result = Expected<T, Failure>;

using protocol::Count;
using protocol::Paths;
using protocol::Status;
using platform::ipc::WireValue;

class Client {
public:
    static Result<Client> connect(std::string_view socketPath);

    // Checks the arguments against the method's types before sending.
    Result<std::vector<WireValue>> call(std::string_view selector, const std::vector<WireValue>& arguments);
    // Sends any selector with any JSON arguments, unchecked (protocol tests);
    // the reply comes back as its JSON array of values.
    Result<nlohmann::json> callUnchecked(std::string_view selector, const nlohmann::json& arguments);

    // One typed call per method of the protocol, named as in its method
    // list, e.g. setFan(index, manual, targetRPM) -> Result<Status>. The
    // arguments must convert to the method's argument types.
#define SMCD_CLIENT_CALL(name, service, selector, Reply, ...)                                    \
    template <class... A>                                                                      \
    Result<protocol::ReplyKind<protocol::Reply>::Value> name(A&&... arguments) {               \
        return typed<protocol::Method::name>(std::forward<A>(arguments)...);                   \
    }
    SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_CLIENT_CALL)
#undef SMCD_CLIENT_CALL

    int socket() const { return socket_.get(); }

private:
    explicit Client(UniqueFd socket) : socket_(std::move(socket)) {}
    // Encodes a call under the next id, sends it and waits for its reply payload.
    Result<std::string> roundTrip(const std::function<platform::ipc::Encoded(std::uint64_t id)>& encode);
    // Sends one encoded call and waits for the next reply payload.
    Result<std::string> exchange(const std::string& request);
    Result<std::vector<WireValue>> call(protocol::Method method, const std::vector<WireValue>& arguments);

    template <protocol::Method method, class... A>
    Result<typename protocol::ReplyKind<typename protocol::MethodTraits<method>::Reply>::Value> typed(
        A&&... arguments) {
        using Traits = protocol::MethodTraits<method>;
        using Arguments = typename Traits::Arguments;
        static_assert(sizeof...(A) == std::tuple_size_v<Arguments>, "wrong number of arguments");
        auto values = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return std::vector<WireValue>{WireValue(std::tuple_element_t<I, Arguments>(std::forward<A>(arguments)))...};
        }(std::make_index_sequence<sizeof...(A)>{});
        auto reply = call(method, values);
        if (!reply.has_value()) return unexpected(reply.error());
        return protocol::ReplyKind<typename Traits::Reply>::unpack(reply.value());
    }

    UniqueFd socket_;
    std::uint64_t nextId_ = 1;
    platform::ipc::FrameReader reader_{platform::ipc::kMaxReplyFrameSize};
};

}  // namespace smcd::client
