#include "platform/ipc/listener.h"

namespace smcd::platform::ipc {

Listener::Listener(std::string machServiceName, StartAccepting start)
    : serviceName_(std::move(machServiceName)), start_(std::move(start)) {}

void Listener::setConnectionCodeSigningRequirement(std::string_view requirement) {
    requirementSet_ = true;
    requirement_ = CodeSigningRequirement::parse(requirement);
}

std::string describe(const ResumeFailure& failure) {
    switch (failure.reason) {
        case ResumeFailure::Reason::noDelegate: return "no delegate is set";
        case ResumeFailure::Reason::noRequirement: return "no code-signing requirement is set";
        case ResumeFailure::Reason::requirementUnparseable: return "the code-signing requirement cannot be parsed";
        case ResumeFailure::Reason::endpoint: return failure.endpointProblem;
    }
    return "unknown";
}

Expected<void, ResumeFailure> Listener::resume() {
    using Reason = ResumeFailure::Reason;
    if (!delegate_) return unexpected(ResumeFailure{Reason::noDelegate, {}});
    if (!requirementSet_) return unexpected(ResumeFailure{Reason::noRequirement, {}});
    if (!requirement_) return unexpected(ResumeFailure{Reason::requirementUnparseable, {}});
    auto acceptor = start_(serviceName_, *requirement_, [this](Connection& connection) {
        return delegate_->shouldAcceptNewConnection(*this, connection);
    });
    if (!acceptor) return unexpected(ResumeFailure{Reason::endpoint, std::move(acceptor).error()});
    acceptor_ = std::move(acceptor).value();
    return {};
}

}  // namespace smcd::platform::ipc
