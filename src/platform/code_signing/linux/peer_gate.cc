#include "platform/code_signing/linux/peer_gate.h"

#include <sys/stat.h>

#include "platform/code_signing/linux/byte_source.h"
#include "platform/code_signing/linux/elf_identity_reader.h"

namespace smcd::platform {
namespace {

PeerVerdict verdictFor(PeerProcessFailure failure) {
    switch (failure) {
        case PeerProcessFailure::socketUnusable: return PeerVerdict::socketUnusable;
        case PeerProcessFailure::processGone:
        case PeerProcessFailure::executableUnavailable: return PeerVerdict::processUnavailable;
    }
    return PeerVerdict::socketUnusable;
}

PeerVerdict verdictFor(IdentityReadFailure failure) {
    switch (failure) {
        case IdentityReadFailure::notElf:
        case IdentityReadFailure::noIdentity: return PeerVerdict::noIdentity;
        case IdentityReadFailure::unsupportedFormat:
        case IdentityReadFailure::malformed:
        case IdentityReadFailure::conflictingIdentities: return PeerVerdict::malformedExecutable;
    }
    return PeerVerdict::malformedExecutable;
}

}  // namespace

PeerEvaluation evaluatePeerInDetail(int connectedSocket, const CodeSigningRequirement& requirement,
                                    PeerPinStrategy strategy, FileSystemTypeQuery fileSystemType) {
    PeerEvaluation evaluation;
    evaluation.credentials = readPeerCredentials(connectedSocket);

    auto pinned = pinPeerProcess(connectedSocket, strategy);
    if (!pinned) {
        evaluation.verdict = verdictFor(pinned.error());
        return evaluation;
    }
    const PinnedPeer& peer = *pinned;
    // The credentials used from here on are the ones the pin was checked against.
    evaluation.credentials = peer.credentials;

    auto opened = openPinnedExecutable(peer);
    if (!opened) {
        evaluation.verdict = verdictFor(opened.error());
        return evaluation;
    }
    const UniqueFd& executable = *opened;

    struct stat status {};
    if (::fstat(executable.get(), &status) != 0) {
        evaluation.verdict = PeerVerdict::processUnavailable;
        return evaluation;
    }
    evaluation.anchor = assessExecutableAnchor(executable.get(), status, fileSystemType);
    const AnchorEvidence anchor =
        *evaluation.anchor == ExecutableAnchor::anchored ? AnchorEvidence::anchored : AnchorEvidence::notAnchored;
    // A file anyone may have written is not worth parsing when the answer is
    // already no; it is attacker-controlled input and so best left unread.
    if (anchor == AnchorEvidence::notAnchored && requirement.requiresAnchor()) {
        evaluation.verdict = PeerVerdict::unsatisfied;
        evaluation.unsatisfiedClause = ClauseKind::anchorAppleGeneric;
        return evaluation;
    }

    const DescriptorByteSource image(executable.get(), static_cast<std::uint64_t>(status.st_size));
    const auto identity = readEmbeddedCodeIdentity(image);
    if (!identity) {
        evaluation.verdict = verdictFor(identity.error());
        return evaluation;
    }
    evaluation.unsatisfiedClause = requirement.firstUnsatisfiedClause(*identity, anchor);
    evaluation.verdict = evaluation.unsatisfiedClause ? PeerVerdict::unsatisfied : PeerVerdict::satisfied;
    return evaluation;
}

PeerVerdict evaluatePeer(int connectedSocket, const CodeSigningRequirement& requirement) {
    return evaluatePeerInDetail(connectedSocket, requirement).verdict;
}

std::string_view describe(PeerVerdict verdict) {
    switch (verdict) {
        case PeerVerdict::satisfied: return "satisfied";
        case PeerVerdict::unsatisfied: return "unsatisfied";
        case PeerVerdict::noIdentity: return "noIdentity";
        case PeerVerdict::malformedExecutable: return "malformedExecutable";
        case PeerVerdict::processUnavailable: return "processUnavailable";
        case PeerVerdict::socketUnusable: return "socketUnusable";
    }
    return "unknown";
}

}  // namespace smcd::platform
