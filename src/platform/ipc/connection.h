#pragma once

// Stand-in for NSXPCConnection: one accepted peer on a Unix stream socket.
// Identity (pid, effective uid) is the kernel's, taken when the peer
// connected, and never re-derived. Calls are served one after another on the
// connection's own thread; every call gets exactly one reply; a message that
// does not match the exported interface invalidates the connection.
//
// A peer is held to time and memory limits (common/limits.h): a frame it has
// begun must arrive whole in time, a reply must be read in time, and what it
// has sent is buffered only as far as the daemon-wide input budget allows.
// Past any of them the connection is invalidated. A peer that hangs up while
// its call runs ends the connection at once (see HangUpWatcher).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/limits.h"
#include "common/unique_fd.h"
#include "platform/ipc/connection_state.h"
#include "platform/ipc/input_budget.h"
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

// The daemon's limits unless a test needs them smaller.
struct ConnectionLimits {
    // The largest reply payload the peer accepts.
    std::size_t maxReplySize = kMaxReplyFrameSize;
    std::chrono::milliseconds requestFrameTimeout = limits::kRequestFrameTimeout;
    std::chrono::milliseconds replyTimeout = limits::kReplyTimeout;
    InputBudget* inputBudget = &InputBudget::shared();
};

class Connection {
public:
    // `maxReplySize`: the largest reply payload the peer accepts; the
    // protocol's reply limit unless a peer is known to take less.
    Connection(UniqueFd socket, PeerCredentials peer, std::size_t maxReplySize = kMaxReplyFrameSize)
        : Connection(std::move(socket), peer, ConnectionLimits{.maxReplySize = maxReplySize}) {}
    Connection(UniqueFd socket, PeerCredentials peer, ConnectionLimits limits)
        : socket_(std::move(socket)), peer_(peer), limits_(limits) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::uint32_t effectiveUserIdentifier() const { return peer_.uid; }
    std::int32_t processIdentifier() const { return peer_.pid; }

    void setExportedInterface(const Interface* interface) { interface_ = interface; }
    void setExportedObject(std::shared_ptr<ExportedObject> object) { exported_ = std::move(object); }
    void setInvalidationHandler(std::function<void()> handler) { state_->setInvalidationHandler(std::move(handler)); }
    void resume() { resumed_ = true; }

    int socket() const { return socket_.get(); }
    const std::shared_ptr<ExportedObject>& exportedObject() const { return exported_; }
    // Ended from the moment the peer hangs up or the connection is invalidated.
    const std::shared_ptr<ConnectionState>& state() const { return state_; }

    // Serves calls until the peer goes away, breaks the protocol or a limit,
    // then closes the socket and runs the invalidation handler once (unless
    // a hang-up ran it already); returns once it has run. Only a resumed
    // connection with an interface and an object serves anything.
    void serve();

private:
    class InputShare;
    // Serves calls until the peer goes away or breaks the protocol; throws
    // whatever a call throws.
    void serveCalls();
    // Runs one decoded call; false when the connection is to end.
    bool serveCall(Call call);
    bool send(const std::string& bytes);

    UniqueFd socket_;
    PeerCredentials peer_;
    ConnectionLimits limits_;
    const Interface* interface_ = nullptr;
    std::shared_ptr<ExportedObject> exported_;
    std::shared_ptr<ConnectionState> state_ = std::make_shared<ConnectionState>();
    bool resumed_ = false;
};

}  // namespace smcd::platform::ipc
