#pragma once

// One peer's connection, as NSXPCConnection offers it: the delegate reads who
// the peer is, exports an interface and an object, installs an invalidation
// handler and resumes it. Calls then arrive on the exported object; every call
// gets exactly one reply; a message that does not match the exported
// interface invalidates the connection. How calls travel is the platform's:
// the Linux stand-in serves a Unix socket (linux/socket_connection.h), a
// macOS port wraps the NSXPCConnection.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/ipc/connection_state.h"
#include "protocol/values.h"

namespace smcd::platform::ipc {

using ReplyHandler = std::function<void(std::vector<protocol::Value>)>;

// What a connection delivers calls to. `invoke` runs synchronously and must
// call `reply` once before it returns; a call left unanswered invalidates the
// connection rather than leaving the peer waiting for ever.
class ExportedObject {
public:
    virtual ~ExportedObject() = default;
    virtual void invoke(std::size_t method, std::vector<protocol::Value> arguments, const ReplyHandler& reply) = 0;
};

class Connection {
public:
    virtual ~Connection() = default;

    // Taken by the system when the peer connected, never re-derived.
    virtual std::uint32_t effectiveUserIdentifier() const = 0;
    // For the log only: a pid can be reused once its process is gone.
    virtual std::int32_t processIdentifier() const = 0;

    virtual void setExportedInterface(const protocol::Interface* interface) = 0;
    virtual void setExportedObject(std::shared_ptr<ExportedObject> object) = 0;
    // Runs once, when the connection ends, however it ends.
    virtual void setInvalidationHandler(std::function<void()> handler) = 0;
    // Nothing is delivered before; only a resumed connection with an
    // interface and an object is served.
    virtual void resume() = 0;
    // Ends the connection: no call of it runs from here on, and its
    // invalidation handler runs.
    virtual void invalidate() = 0;

    // Ended from the moment the peer goes or the connection is invalidated;
    // work done for the connection checks it before acting.
    virtual const std::shared_ptr<ConnectionState>& state() const = 0;
};

}  // namespace smcd::platform::ipc
