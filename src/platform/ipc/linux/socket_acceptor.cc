// The listener's Linux side: a Unix stream socket (activated or bound, see
// endpoint.h), peers taken with accept4, their identity from SO_PEERCRED and
// their code judged by the peer gate before anything of them is read.

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "platform/code_signing/linux/peer_gate.h"
#include "platform/ipc/linux/endpoint.h"
#include "platform/ipc/listener.h"

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

class SocketAcceptor final : public PeerAcceptor {
public:
    SocketAcceptor(UniqueFd socket, const CodeSigningRequirement& requirement, AdmittedPeerHandler admitted)
        : socket_(std::move(socket)), requirement_(requirement), admitted_(std::move(admitted)) {}

    // The accepting thread runs for the life of the process, as the Mach
    // service's listener does; the acceptor is never destroyed while it runs.
    void start() {
        std::thread([this] { acceptLoop(); }).detach();
    }

private:
    void acceptLoop() {
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

    void handle(UniqueFd socket, PeerCredentials peer) {
        try {
            // The gate runs before the delegate sees the connection and before
            // a single byte of the peer is read: a refused peer is simply closed.
            if (evaluatePeer(socket.get(), requirement_) != PeerVerdict::satisfied) return;
            Connection connection(std::move(socket), peer);
            admitted_(connection);
        } catch (...) {
            // Running out of memory while one peer is let in closes that peer's
            // connection; it must not end the daemon and every other client.
        }
    }

    UniqueFd socket_;
    CodeSigningRequirement requirement_;
    AdmittedPeerHandler admitted_;
};

}  // namespace

Expected<std::unique_ptr<PeerAcceptor>, std::string> startAccepting(const std::string& serviceName,
                                                                    const CodeSigningRequirement& requirement,
                                                                    AdmittedPeerHandler admitted) {
    auto endpoint = openListeningEndpoint(socketPathForService(serviceName));
    if (!endpoint) {
        return unexpected(std::string(describe(endpoint.error().error)) + " (errno " +
                          std::to_string(endpoint.error().errnoValue) + ")");
    }
    auto acceptor = std::make_unique<SocketAcceptor>(std::move(endpoint).value(), requirement, std::move(admitted));
    acceptor->start();
    return std::unique_ptr<PeerAcceptor>(std::move(acceptor));
}

}  // namespace smcd::platform::ipc
