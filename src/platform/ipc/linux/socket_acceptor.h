#pragma once

// The Linux acceptor behind startAccepting, on a listening socket of the
// caller's. The daemon always gates before the delegate; the other order
// exists for tests alone (no setting, file or variable reaches it): it is the
// macOS order, where the delegate takes every peer and the system refuses a
// failing one on its first message.

#include <memory>

#include "common/unique_fd.h"
#include "platform/code_signing/requirement.h"
#include "platform/ipc/listener.h"

namespace smcd::platform::ipc {

enum class GateOrder {
    beforeDelegate,   // a refused peer is closed unseen
    onFirstMessage,   // a refused peer is offered, then invalidated on its first call with the call unrun
};

std::unique_ptr<PeerAcceptor> startSocketAcceptor(UniqueFd listening, const CodeSigningRequirement& requirement,
                                                  AdmittedPeerHandler admitted, GateOrder order);

}  // namespace smcd::platform::ipc
