#pragma once

// NSXPCListener on a Mach service, as the daemon uses it: accepts peers on
// the service's endpoint, holds them to the connection code-signing
// requirement, and offers each connection to the delegate. The checks that keep a listener from starting unsafely live here;
// how peers arrive and how their code is judged is the platform's
// (StartAccepting, below).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "platform/code_signing/requirement.h"
#include "platform/ipc/connection.h"

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
    std::string endpointProblem;  // for Reason::endpoint: the platform's own account of it
};

std::string describe(const ResumeFailure& failure);

// Keeps the service's endpoint open and accepting for as long as it lives.
class PeerAcceptor {
public:
    virtual ~PeerAcceptor() = default;
};

// Called on a thread of the acceptor's for each peer it admits, before a
// byte of the peer is read; true when the delegate took the connection, which
// the acceptor then serves.
using AdmittedPeerHandler = std::function<bool(Connection& connection)>;

// The platform's side of the listener: opens the endpoint of `serviceName`
// and starts accepting, each peer held to `requirement`.
using StartAccepting = std::function<Expected<std::unique_ptr<PeerAcceptor>, std::string>(
    const std::string& serviceName, const CodeSigningRequirement& requirement, AdmittedPeerHandler admitted)>;

// The platform's own (linux/socket_acceptor.cc, or a port's), which the
// daemon's main hands its listener: the portable library never names it. On
// Linux a peer the requirement refuses is closed unseen; on macOS the system
// refuses it on its messages, after the delegate has taken it.
Expected<std::unique_ptr<PeerAcceptor>, std::string> startAccepting(const std::string& serviceName,
                                                                    const CodeSigningRequirement& requirement,
                                                                    AdmittedPeerHandler admitted);

class Listener {
public:
    Listener(std::string machServiceName, StartAccepting start);
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const std::string& serviceName() const { return serviceName_; }
    void setDelegate(std::shared_ptr<ListenerDelegate> delegate) { delegate_ = std::move(delegate); }
    void setConnectionCodeSigningRequirement(std::string_view requirement);

    // Opens the endpoint and starts accepting. Without a delegate or a
    // requirement that parses, it refuses to start: no peer is ever admitted
    // unchecked, and a daemon that would turn everyone away says so instead
    // of looking healthy.
    Expected<void, ResumeFailure> resume();

private:
    std::string serviceName_;
    StartAccepting start_;
    std::shared_ptr<ListenerDelegate> delegate_;
    bool requirementSet_ = false;
    std::optional<CodeSigningRequirement> requirement_;
    std::unique_ptr<PeerAcceptor> acceptor_;
};

}  // namespace smcd::platform::ipc
