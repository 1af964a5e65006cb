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
#include "platform/log/refusal_report.h"
#include "platform/ipc/linux/socket_acceptor.h"
#include "platform/ipc/linux/socket_connection.h"

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
    SocketAcceptor(UniqueFd socket, const CodeSigningRequirement& requirement, AdmittedPeerHandler admitted,
                   GateOrder order)
        : socket_(std::move(socket)), requirement_(requirement), admitted_(std::move(admitted)), order_(order),
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
        SMCD_LOG_REFUSAL(refusals_,
                         "refused connection from pid %{public}d uid %{public}u: %{public}s (%{public}zu more since "
                         "the last such line)",
                         peer.pid, peer.uid, describe(refusal));
    }

    void handle(UniqueFd socket, PeerCredentials peer) {
        try {
            // The gate runs before the delegate sees the connection and before
            // a single byte of the peer is read: a refused peer is simply closed.
            if (order_ == GateOrder::beforeDelegate &&
                evaluatePeer(socket.get(), requirement_) != PeerVerdict::satisfied)
                return;
            SocketConnection connection(std::move(socket), peer);
            if (order_ == GateOrder::onFirstMessage) gateOnFirstMessage(connection);
            if (admitted_(connection)) connection.serve();
        } catch (...) {
            // Running out of memory while one peer is let in closes that peer's
            // connection; it must not end the daemon and every other client.
        }
    }

    // The peer is judged when its first call has arrived, once.
    void gateOnFirstMessage(SocketConnection& connection) {
        connection.setMessageCheck([this, &connection, verdict = std::optional<bool>()]() mutable {
            if (!verdict) verdict = evaluatePeer(connection.socket(), requirement_) == PeerVerdict::satisfied;
            return *verdict;
        });
    }

    UniqueFd socket_;
    CodeSigningRequirement requirement_;
    AdmittedPeerHandler admitted_;
    const GateOrder order_;
    ConnectionQuota quota_;
    RefusalReport refusals_;
};

}  // namespace

Expected<std::unique_ptr<PeerAcceptor>, std::string> startAccepting(const std::string& serviceName,
                                                                    const CodeSigningRequirement& requirement,
                                                                    AdmittedPeerHandler admitted) {
    auto endpoint = openListeningEndpoint(serviceEndpoint(serviceName));
    if (!endpoint) {
        return unexpected(std::string(describe(endpoint.error().error)) + " (errno " +
                          std::to_string(endpoint.error().errnoValue) + ")");
    }
    return startSocketAcceptor(std::move(endpoint).value(), requirement, std::move(admitted),
                               GateOrder::beforeDelegate);
}

std::unique_ptr<PeerAcceptor> startSocketAcceptor(UniqueFd listening, const CodeSigningRequirement& requirement,
                                                  AdmittedPeerHandler admitted, GateOrder order) {
    auto acceptor = std::make_unique<SocketAcceptor>(std::move(listening), requirement, std::move(admitted), order);
    acceptor->start();
    return acceptor;
}

}  // namespace smcd::platform::ipc
