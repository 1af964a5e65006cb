#include "client/client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "common/io.h"
#include "platform/ipc/service_endpoint.h"
#include "smcd/product_facts.h"

namespace smcd::client {
namespace {

Unexpected<Failure> invalidated(std::string reason) {
    return unexpected(Failure{FailureKind::invalidated, std::move(reason)});
}

}  // namespace

std::string defaultSocketPath() { return platform::ipc::serviceEndpoint(product_facts::kServiceName); }

Result<Client> Client::connect(std::string_view socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path))
        return unexpected(Failure{FailureKind::unreachable, "socket path too long"});
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return unexpected(Failure{FailureKind::unreachable, std::strerror(errno)});
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return unexpected(Failure{FailureKind::unreachable, std::string(socketPath) + ": " + std::strerror(errno)});
    return Client(std::move(fd));
}

Result<std::string> Client::exchange(const std::string& request) {
    if (!io::writeAll(socket_.get(), request)) return invalidated("connection invalidated while sending");
    std::array<char, 64 * 1024> buffer;
    std::string payload;
    for (;;) {
        const auto status = reader_.next(payload);
        if (status == platform::ipc::FrameReader::Status::invalid) return invalidated("malformed reply frame");
        if (status == platform::ipc::FrameReader::Status::frame) return payload;
        const auto n = io::readSome(socket_.get(), buffer.data(), buffer.size());
        if (!n || *n == 0) return invalidated("connection invalidated by the daemon");
        reader_.append(std::string_view(buffer.data(), *n));
    }
}

Result<std::string> Client::roundTrip(const std::function<platform::ipc::Encoded(std::uint64_t id)>& encode) {
    // A call above the daemon's limit would only get the connection closed:
    // it is refused here, before it is built.
    const platform::ipc::Encoded request = encode(nextId_);
    if (!request) {
        if (request.error().kind == platform::ipc::EncodeFailure::notUtf8)
            return unexpected(Failure{FailureKind::badRequest, "a text argument is not valid UTF-8"});
        return unexpected(Failure{FailureKind::badRequest, "call of " + std::to_string(request.error().payloadSize) +
                                                               " bytes exceeds the call limit"});
    }
    ++nextId_;
    return exchange(*request);
}

Result<std::vector<WireValue>> Client::call(std::string_view selector, const std::vector<WireValue>& arguments) {
    const auto method = protocol::vornikFanControlInterface().find(selector);
    if (!method) return unexpected(Failure{FailureKind::badRequest, "unknown selector " + std::string(selector)});
    return call(static_cast<protocol::Method>(*method), arguments);
}

Result<std::vector<WireValue>> Client::call(protocol::Method method, const std::vector<WireValue>& arguments) {
    const auto& signature = protocol::vornikFanControlInterface().methods()[protocol::numberOf(method)];
    const std::string selector(signature.selector);
    if (arguments.size() != signature.arguments.size())
        return unexpected(Failure{FailureKind::badRequest, "wrong number of arguments for " + selector});
    for (std::size_t i = 0; i < arguments.size(); ++i)
        if (!platform::ipc::valueMatches(arguments[i], signature.arguments[i]))
            return unexpected(
                Failure{FailureKind::badRequest, "argument " + std::to_string(i + 1) + " has the wrong type"});
    auto payload = roundTrip([&](std::uint64_t id) { return platform::ipc::encodeCall(id, selector, arguments); });
    if (!payload.has_value()) return unexpected(payload.error());
    auto reply = platform::ipc::decodeReply(payload.value(), signature.reply);
    if (!reply) return invalidated("reply does not match " + selector);
    if (reply->id != nextId_ - 1) return invalidated("reply does not answer the call");
    return std::move(reply->values);
}

Result<nlohmann::json> Client::callUnchecked(std::string_view selector, const nlohmann::json& arguments) {
    auto payload = roundTrip([&](std::uint64_t id) { return platform::ipc::encodeCall(id, selector, arguments); });
    if (!payload.has_value()) return unexpected(payload.error());
    auto parsed = nlohmann::json::parse(payload.value(), nullptr, false);
    const auto id = parsed.is_object() ? parsed.find("id") : parsed.end();
    if (id == parsed.end() || !id->is_number_unsigned() || id->get<std::uint64_t>() != nextId_ - 1 ||
        !parsed.contains("reply"))
        return invalidated("reply does not answer the call");
    return parsed["reply"];
}

}  // namespace smcd::client
