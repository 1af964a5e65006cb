#pragma once

// Stand-in for NSXPCListener on a Mach service: accepts peers on the
// service's socket, admits only those that satisfy the connection
// code-signing requirement, and offers each admitted connection to the
// delegate on a thread of its own.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/unique_fd.h"
#include "platform/code_signing/peer_gate.h"
#include "platform/ipc/connection.h"
#include "platform/ipc/endpoint.h"

namespace smcd::platform::ipc {

class Listener;

class ListenerDelegate {
public:
    virtual ~ListenerDelegate() = default;
    virtual bool shouldAcceptNewConnection(Listener& listener, Connection& connection) = 0;
};

class Listener {
public:
    explicit Listener(std::string machServiceName);
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const std::string& serviceName() const { return serviceName_; }
    void setDelegate(std::shared_ptr<ListenerDelegate> delegate) { delegate_ = std::move(delegate); }
    // A requirement that cannot be parsed admits nobody.
    void setConnectionCodeSigningRequirement(std::string_view requirement);

    // Opens the endpoint and starts accepting on a thread of its own. Until
    // a requirement is set, resume refuses to start: no peer is ever admitted
    // without one.
    std::optional<EndpointFailure> resume();

private:
    void acceptLoop();
    void handle(UniqueFd socket, PeerCredentials peer);

    std::string serviceName_;
    std::shared_ptr<ListenerDelegate> delegate_;
    bool requirementSet_ = false;
    std::optional<CodeSigningRequirement> requirement_;
    UniqueFd socket_;
};

}  // namespace smcd::platform::ipc
