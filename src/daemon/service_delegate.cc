#include "daemon/service_delegate.h"

#include "daemon/fan_service.h"
#include "daemon/vornik_fan_control.h"
#include "protocol/vornik_fan_control_protocol.h"
#include "platform/log/daemon_log.h"

namespace smcd {

ServiceDelegate::ServiceDelegate(std::shared_ptr<FanEngine> engine) : engine_(std::move(engine)) {}

bool ServiceDelegate::shouldAcceptNewConnection(platform::ipc::Listener&, platform::ipc::Connection& connection) {
    const std::uint32_t peerUID = connection.effectiveUserIdentifier();
    SMCD_LOG(daemonLog(), platform::LogLevel::notice, "accepted XPC connection from pid %{public}d uid %{public}u",
             connection.processIdentifier(), peerUID);
    connection.setExportedInterface(&protocol::vornikFanControlInterface());
    connection.setExportedObject(exportedObject(std::make_shared<FanService>(engine_, peerUID, connection.state())));
    {
        std::lock_guard guard(countLock_);
        ++activeConnections_;
    }
    connection.setInvalidationHandler([weak = weak_from_this()] {
        if (auto delegate = weak.lock()) delegate->connectionEnded();
    });
    connection.resume();
    return true;
}

void ServiceDelegate::connectionEnded() {
    std::int64_t remaining = 0;
    {
        std::lock_guard guard(countLock_);
        remaining = --activeConnections_;
    }
    // countLock_ is released before the engine's lock is awaited. No user
    // asks for this hand-back: it goes ahead of every waiting request, all of
    // which belong to ended connections and will not run, unless a client
    // came meanwhile.
    if (remaining > 0) return;
    (void)engine_->withCoreFirst([this](SMCFanCore& core) {
        {
            // A client accepted while this hand-back waited for the engine may
            // already have set a fan; the fans are its now, not ours to reset.
            std::lock_guard guard(countLock_);
            if (activeConnections_ > 0) return;
        }
        (void)core.resetAllToAuto();
    });
}

std::int64_t ServiceDelegate::activeConnectionCount() {
    std::lock_guard guard(countLock_);
    return activeConnections_;
}

}  // namespace smcd
