// The listener's Linux side: a Unix stream socket (activated or bound, see
// endpoint.h), peers taken with accept4, their identity from SO_PEERCRED,
// refused at once when their user or the daemon holds as many connections as
// it may, and their code judged by the peer gate before anything of them is
// read.
//
// Each admitted connection is served on a thread of its own. The caps bound
// those threads (with the descriptors, they are what a connection costs),
// and a thread of its own keeps one user's slow requests (a fan unlock, a
// twenty-second maintenance task) from ever queueing another user's behind
// them, as a shared pool of workers would.

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <system_error>
#include <thread>

#include "platform/code_signing/linux/peer_gate.h"
#include "platform/ipc/connection_quota.h"
#include "platform/ipc/linux/endpoint.h"
#include "platform/ipc/listener.h"
#include "platform/ipc/refusal_report.h"

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

// The caps follow the descriptor limit the daemon was started with.
limits::ConnectionCaps connectionCaps() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = 0;  // the smallest caps
    const std::size_t soft = limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<std::size_t>(limit.rlim_cur);
    return limits::capConnections(soft);
}

class SocketAcceptor final : public PeerAcceptor {
public:
    SocketAcceptor(UniqueFd socket, const CodeSigningRequirement& requirement, AdmittedPeerHandler admitted)
        : socket_(std::move(socket)), requirement_(requirement), admitted_(std::move(admitted)),
          quota_(connectionCaps()) {}

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
            auto place = quota_.admit(credentials->uid);
            if (!place) {
                refuse(*credentials, place.error());
                continue;
            }
            try {
                std::thread([this, socket = std::move(peer), peer = *credentials,
                             place = std::move(place).value()]() mutable { handle(std::move(socket), peer); })
                    .detach();
            } catch (const std::system_error&) {
                // No thread to serve it: the peer sees its connection closed.
            }
        }
    }

    // Closed unread, before the gate: a flood costs the daemon an accept and a close.
    void refuse(const PeerCredentials& peer, ConnectionQuota::Refusal refusal) {
        refusals_.log("refused connection from pid %{public}d uid %{public}u: %{public}s (%{public}zu more since "
                      "the last such line)",
                      peer.pid, peer.uid, describe(refusal));
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
    ConnectionQuota quota_;
    RefusalReport refusals_;
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
