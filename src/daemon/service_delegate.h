#pragma once

// The listener's delegate: accepts every connection it is offered, exports
// one FanService per connection, counts connections, and hands every fan back
// to automatic control when the last one ends. On Linux it is offered only
// peers the gate let through; on macOS every peer, and one the requirement
// refuses is invalidated on its first message with no call run. Either way a
// connection ends once (its peer goes, or it is invalidated, at once even
// while one of its calls still runs) and is uncounted once.

#include <cstdint>
#include <memory>
#include <mutex>

#include "fan/fan_engine.h"
#include "platform/ipc/listener.h"

namespace smcd {

class ServiceDelegate final : public platform::ipc::ListenerDelegate,
                              public std::enable_shared_from_this<ServiceDelegate> {
public:
    // `engine` is the process's one fan engine, shared by every connection.
    explicit ServiceDelegate(std::shared_ptr<FanEngine> engine);

    bool shouldAcceptNewConnection(platform::ipc::Listener& listener, platform::ipc::Connection& connection) override;
    void connectionEnded();

    const std::shared_ptr<FanEngine>& engine() const { return engine_; }
    std::int64_t activeConnectionCount();

private:
    std::shared_ptr<FanEngine> engine_;
    std::int64_t activeConnections_ = 0;
    std::mutex countLock_;
};

}  // namespace smcd
