#pragma once

// Stand-in for NSXPCConnection: one accepted peer on a Unix stream socket.
// Identity (pid, effective uid) is the kernel's, taken when the peer
// connected, and never re-derived. Calls are served one after another on the
// connection's own thread; every call gets exactly one reply; a message that
// does not match the exported interface invalidates the connection.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "common/unique_fd.h"
#include "platform/ipc/wire.h"

namespace smcd::platform::ipc {

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

using ReplyHandler = std::function<void(std::vector<WireValue>)>;

// What a connection delivers calls to. `invoke` runs synchronously and must
// call `reply` once before it returns; a call left unanswered invalidates the
// connection rather than leaving the peer waiting for ever.
class ExportedObject {
public:
    virtual ~ExportedObject() = default;
    virtual void invoke(std::size_t method, std::vector<WireValue> arguments, const ReplyHandler& reply) = 0;
};

class Connection {
public:
    // `maxReplySize`: the largest reply payload the peer accepts; the
    // protocol's reply limit unless a peer is known to take less.
    Connection(UniqueFd socket, PeerCredentials peer, std::size_t maxReplySize = kMaxReplyFrameSize)
        : socket_(std::move(socket)), peer_(peer), maxReplySize_(maxReplySize) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::uint32_t effectiveUserIdentifier() const { return peer_.uid; }
    std::int32_t processIdentifier() const { return peer_.pid; }

    void setExportedInterface(const Interface* interface) { interface_ = interface; }
    void setExportedObject(std::shared_ptr<ExportedObject> object) { exported_ = std::move(object); }
    void setInvalidationHandler(std::function<void()> handler) { invalidationHandler_ = std::move(handler); }
    void resume() { resumed_ = true; }

    int socket() const { return socket_.get(); }

    // Serves calls until the peer goes away or breaks the protocol, then
    // closes the socket and runs the invalidation handler once. Only a
    // resumed connection with an interface and an object serves anything.
    void serve();

private:
    // Serves calls until the peer goes away or breaks the protocol; throws
    // whatever a call throws.
    void serveCalls();
    bool send(const std::string& bytes);

    UniqueFd socket_;
    PeerCredentials peer_;
    std::size_t maxReplySize_;
    const Interface* interface_ = nullptr;
    std::shared_ptr<ExportedObject> exported_;
    std::function<void()> invalidationHandler_;
    bool resumed_ = false;
};

}  // namespace smcd::platform::ipc
