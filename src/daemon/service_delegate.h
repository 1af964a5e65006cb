#pragma once

// The listener's delegate: accepts every connection the gate lets through,
// exports one FanService per connection, counts connections, and hands every
// fan back to automatic control when the last one ends. A connection ends
// when its peer goes, at once even while one of its calls still runs.

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
