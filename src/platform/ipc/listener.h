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

struct ResumeFailure {
    enum class Reason { noDelegate, noRequirement, requirementUnparseable, endpoint };
    Reason reason;
    EndpointFailure endpoint{};  // for Reason::endpoint
};

std::string describe(const ResumeFailure& failure);

class Listener {
public:
    explicit Listener(std::string machServiceName);
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const std::string& serviceName() const { return serviceName_; }
    void setDelegate(std::shared_ptr<ListenerDelegate> delegate) { delegate_ = std::move(delegate); }
    void setConnectionCodeSigningRequirement(std::string_view requirement);

    // Opens the endpoint and starts accepting on a thread of its own. Without
    // a delegate or a requirement that parses, it refuses to start: no peer
    // is ever admitted unchecked, and a daemon that would turn everyone away
    // says so instead of looking healthy.
    std::optional<ResumeFailure> resume();

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
