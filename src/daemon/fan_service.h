#pragma once

// The object exported on every connection: holds the shared fan engine and
// the peer's effective uid, and hands each request to the subsystem that
// does its work.

#include <sys/types.h>

#include <memory>

#include "daemon/vornik_fan_control.h"
#include "fan/fan_engine.h"

namespace smcd {

class FanService final : public VornikFanControl {
public:
    // `connection`, when given, is the state of the connection it serves: a
    // fan request whose connection has ended by the time it holds the
    // engine never runs, so that the hand-back at the last connection's end
    // is never undone by a request nobody is left to answer.
    FanService(std::shared_ptr<FanEngine> engine, std::uint32_t peerUID,
               std::shared_ptr<const platform::ipc::ConnectionState> connection = nullptr)
        : engine_(std::move(engine)), peerUID_(peerUID), connection_(std::move(connection)) {}

#define SMCD_OVERRIDE(...) SMCD_VORNIK_FAN_CONTROL_MEMBER(__VA_ARGS__) override;
    SMCD_VORNIK_FAN_CONTROL_METHODS(SMCD_OVERRIDE)
#undef SMCD_OVERRIDE

    std::uint32_t peerUID() const { return peerUID_; }

private:
    // `withCore` of the engine in this peer's turn, unless the connection has
    // ended by the time the turn comes: then the work does not run.
    template <class Work>
    auto withCoreWhileConnected(Work&& work) {
        bool ended = false;
        auto result = engine_->withCore(peerUID_, [&](SMCFanCore& core) -> std::invoke_result_t<Work&, SMCFanCore&> {
            if (connection_ && connection_->ended()) {
                ended = true;
                return {};
            }
            return work(core);
        });
        return ended ? decltype(result)(unexpected(std::string(kConnectionEnded))) : std::move(result);
    }

    static constexpr std::string_view kConnectionEnded = "connection ended";

    std::shared_ptr<FanEngine> engine_;
    const std::uint32_t peerUID_;
    std::shared_ptr<const platform::ipc::ConnectionState> connection_;
};

}  // namespace smcd
