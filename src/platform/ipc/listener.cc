#include "platform/ipc/listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

namespace smcd::platform::ipc {
namespace {

constexpr auto kDescriptorShortageBackoff = std::chrono::milliseconds(20);

std::optional<PeerCredentials> peerCredentials(int socket) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof(credentials))
        return std::nullopt;
    return PeerCredentials{credentials.pid, credentials.uid, credentials.gid};
}

}  // namespace

Listener::Listener(std::string machServiceName) : serviceName_(std::move(machServiceName)) {}

void Listener::setConnectionCodeSigningRequirement(std::string_view requirement) {
    requirementSet_ = true;
    requirement_ = CodeSigningRequirement::parse(requirement);
}

std::string describe(const ResumeFailure& failure) {
    switch (failure.reason) {
        case ResumeFailure::Reason::noDelegate: return "no delegate is set";
        case ResumeFailure::Reason::noRequirement: return "no code-signing requirement is set";
        case ResumeFailure::Reason::requirementUnparseable: return "the code-signing requirement cannot be parsed";
        case ResumeFailure::Reason::endpoint:
            return std::string(describe(failure.endpoint.error)) + " (errno " + std::to_string(failure.endpoint.errnoValue) + ")";
    }
    return "unknown";
}

std::optional<ResumeFailure> Listener::resume() {
    using Reason = ResumeFailure::Reason;
    if (!delegate_) return ResumeFailure{Reason::noDelegate};
    if (!requirementSet_) return ResumeFailure{Reason::noRequirement};
    if (!requirement_) return ResumeFailure{Reason::requirementUnparseable};
    auto endpoint = openListeningEndpoint(socketPathForService(serviceName_));
    if (auto* failure = std::get_if<EndpointFailure>(&endpoint)) return ResumeFailure{Reason::endpoint, *failure};
    socket_ = std::move(std::get<UniqueFd>(endpoint));
    std::thread([this] { acceptLoop(); }).detach();
    return std::nullopt;
}

void Listener::acceptLoop() {
    for (;;) {
        UniqueFd peer(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!peer) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(kDescriptorShortageBackoff);
            continue;
        }
        const auto credentials = peerCredentials(peer.get());
        if (!credentials) continue;  // an identity we cannot read is no identity
        try {
            std::thread([this, socket = std::move(peer), peer = *credentials]() mutable {
                handle(std::move(socket), peer);
            }).detach();
        } catch (const std::system_error&) {
            // No thread to serve it: the peer sees its connection closed.
        }
    }
}

void Listener::handle(UniqueFd socket, PeerCredentials peer) {
    // The gate runs before the delegate sees the connection and before a
    // single byte of the peer is read: a refused peer is simply closed.
    if (evaluatePeer(socket.get(), *requirement_) != PeerVerdict::satisfied) return;
    Connection connection(std::move(socket), peer);
    if (!delegate_->shouldAcceptNewConnection(*this, connection)) return;
    connection.serve();
}

}  // namespace smcd::platform::ipc
