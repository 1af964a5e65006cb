#pragma once

// The Linux stand-in's connection: one accepted peer on a Unix stream
// socket. Identity (pid, effective uid) is the kernel's, taken when the peer
// connected. Calls are framed by the wire codec and served one after another
// on the connection's own thread.
//
// A peer is held to time and memory limits (common/limits.h): a frame it has
// begun must arrive whole in time, a reply must be read in time, what it has
// sent is buffered only as far as its user's share of the daemon-wide input
// budget allows, and a reply is framed only within its user's share of the
// reply budget. Past any of them the connection is invalidated. A peer that hangs up while
// its call runs ends the connection at once (see HangUpWatcher).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/limits.h"
#include "common/unique_fd.h"
#include "platform/ipc/connection.h"
#include "platform/ipc/linux/input_budget.h"
#include "platform/ipc/linux/wire.h"
#include "platform/ipc/reply_budget.h"

namespace smcd::platform::ipc {

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The daemon's limits unless a test needs them smaller.
struct ConnectionLimits {
    // The largest reply payload the peer accepts.
    std::size_t maxReplySize = kMaxReplyFrameSize;
    std::chrono::milliseconds requestFrameTimeout = limits::kRequestFrameTimeout;
    std::chrono::milliseconds replyTimeout = limits::kReplyTimeout;
    MemoryBudget* inputBudget = &ipc::inputBudget();
    MemoryBudget* replyBudget = &ipc::replyBudget();
};

class SocketConnection final : public Connection {
public:
    // `maxReplySize`: the largest reply payload the peer accepts; the
    // protocol's reply limit unless a peer is known to take less.
    SocketConnection(UniqueFd socket, PeerCredentials peer, std::size_t maxReplySize = kMaxReplyFrameSize)
        : SocketConnection(std::move(socket), peer, ConnectionLimits{.maxReplySize = maxReplySize}) {}
    SocketConnection(UniqueFd socket, PeerCredentials peer, ConnectionLimits limits)
        : socket_(std::move(socket)), peer_(peer), limits_(limits) {}
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    std::uint32_t effectiveUserIdentifier() const override { return peer_.uid; }
    std::int32_t processIdentifier() const override { return peer_.pid; }

    void setExportedInterface(const Interface* interface) override { interface_ = interface; }
    void setExportedObject(std::shared_ptr<ExportedObject> object) override { exported_ = std::move(object); }
    void setInvalidationHandler(std::function<void()> handler) override {
        state_->setInvalidationHandler(std::move(handler));
    }
    void resume() override { resumed_ = true; }
    void invalidate() override;
    const std::shared_ptr<ConnectionState>& state() const override { return state_; }

    int socket() const { return socket_.get(); }
    const std::shared_ptr<ExportedObject>& exportedObject() const { return exported_; }

    // Decides, before each decoded call runs, whether the connection may go
    // on; one that may not is invalidated with the call unrun. Unset, every
    // call runs.
    void setMessageCheck(std::function<bool()> check) { messageCheck_ = std::move(check); }

    // Serves calls until the peer goes away, breaks the protocol or a limit,
    // then closes the socket and runs the invalidation handler once (unless
    // a hang-up ran it already); returns once it has run. Only a resumed
    // connection with an interface and an object serves anything.
    void serve();

private:
    // Serves calls until the peer goes away or breaks the protocol; throws
    // whatever a call throws.
    void serveCalls();
    // Runs one decoded call; false when the connection is to end.
    bool serveCall(Call call);
    bool send(const std::string& bytes);

    // Guards the socket's closing against an invalidation from another thread.
    mutable std::mutex socketLock_;
    UniqueFd socket_;
    PeerCredentials peer_;
    ConnectionLimits limits_;
    const Interface* interface_ = nullptr;
    std::shared_ptr<ExportedObject> exported_;
    std::shared_ptr<ConnectionState> state_ = std::make_shared<ConnectionState>();
    std::function<bool()> messageCheck_;
    bool resumed_ = false;
};

}  // namespace smcd::platform::ipc
