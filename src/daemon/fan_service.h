#pragma once

// The object exported on every connection: holds the shared fan engine and
// the peer's effective uid, and hands each request to the subsystem that
// does its work.

#include <sys/types.h>

#include <memory>
#include <optional>
#include <stop_token>

#include "daemon/reply_json.h"
#include "daemon/vornik_fan_control.h"
#include "fan/fan_engine.h"
#include "removal/families_and_roots.h"
#include "platform/ipc/memory_budget.h"
#include "platform/ipc/reply_budget.h"

namespace smcd {

class FanService final : public VornikFanControl {
public:
    // `connection`, when given, is the state of the connection it serves: a
    // fan request whose connection has ended by the time it holds the
    // engine never runs, so that the hand-back at the last connection's end
    // is never undone by a request nobody is left to answer, and a request
    // of many items stops at the next one. A request whose records would
    // pass the peer's share of `replies` is left unanswered, which ends its
    // connection (connection.h).
    FanService(std::shared_ptr<FanEngine> engine, std::uint32_t peerUID,
               std::shared_ptr<platform::ipc::ConnectionState> connection = nullptr,
               platform::ipc::MemoryBudget& replies = platform::ipc::replyBudget())
        : engine_(std::move(engine)), peerUID_(peerUID),
          connection_(connection ? std::move(connection) : std::make_shared<platform::ipc::ConnectionState>()),
          replies_(replies) {}

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
            if (connection_->ended()) {
                ended = true;
                return {};
            }
            return work(core);
        });
        return ended ? decltype(result)(unexpected(std::string(kConnectionEnded))) : std::move(result);
    }

    static constexpr std::string_view kConnectionEnded = "connection ended";

    // Records for a request, their room in the peer's share of the reply
    // budget taken by `hold` before any work: `perElement` bytes for each
    // element besides its text, counted `textCopies` times; text beyond that
    // takes more as it grows. Nothing when the share or the budget refuses;
    // a later growth refused leaves the records refused. Each refusal is logged.
    std::optional<ReplyArray> recordsFor(const Paths& request, platform::ipc::MemoryHold& hold,
                                         std::size_t perElement, std::size_t textCopies = 1);
    // Replies with the records unless they were refused or the connection has
    // ended; from here the connection counts the reply, not `hold`.
    void replyRecords(const DataReply& reply, ReplyArray records, Paths& request, platform::ipc::MemoryHold& hold);
    void removePaths(Paths& paths, removal::Target family, bool permanent, const DataReply& reply);
    std::stop_token stopToken() const { return connection_->stopToken(); }

    std::shared_ptr<FanEngine> engine_;
    const std::uint32_t peerUID_;
    std::shared_ptr<platform::ipc::ConnectionState> connection_;
    platform::ipc::MemoryBudget& replies_;
};

}  // namespace smcd
