#pragma once

#include <optional>
#include <string_view>

#include "platform/code_signing/linux/executable_anchor.h"
#include "platform/code_signing/linux/peer_credentials.h"
#include "platform/code_signing/linux/peer_process.h"
#include "platform/code_signing/requirement.h"

namespace smcd::platform {

// Only `satisfied` lets a connection through; every other value refuses it.
enum class PeerVerdict {
    satisfied,
    unsatisfied,          // the executable's identity or anchor fails a clause
    noIdentity,           // the executable carries no code identity
    malformedExecutable,  // the executable's ELF image or identity note cannot be read soundly
    processUnavailable,   // the connecting process exited, or its executable cannot be opened
    socketUnusable,       // not a connected AF_UNIX stream socket
};

struct PeerEvaluation {
    PeerVerdict verdict = PeerVerdict::socketUnusable;
    // From SO_PEERCRED, whenever the socket had them: the identity to use for
    // an accepted connection, fixed at connect time.
    std::optional<PeerCredentials> credentials;
    // For `unsatisfied`: the first clause that failed. When the requirement
    // holds the anchor clause and the executable fails the anchor stand-in,
    // this is the anchor clause and the executable is not read at all.
    std::optional<ClauseKind> unsatisfiedClause;
    std::optional<ExecutableAnchor> anchor;
};

// Evaluates the requirement against the process at the other end of a
// connected AF_UNIX stream socket, before anything of it is read. Blocking,
// stateless and safe to call from several threads at once.
PeerVerdict evaluatePeer(int connectedSocket, const CodeSigningRequirement& requirement);

PeerEvaluation evaluatePeerInDetail(int connectedSocket, const CodeSigningRequirement& requirement,
                                    PeerPinStrategy strategy = PeerPinStrategy::socketPidfdFirst,
                                    FileSystemTypeQuery fileSystemType = fileSystemTypeOf);

std::string_view describe(PeerVerdict verdict);

}  // namespace smcd::platform
