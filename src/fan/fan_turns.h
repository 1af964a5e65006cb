#pragma once

// Who talks to the SMC next. Every fan request holds the engine for its
// whole SMC conversation, which an unlock stretches to about ten and a half
// seconds, so the order of waiting decides how long anyone waits: one user
// with many connections must not be able to queue ahead of everyone else,
// and a stop must never queue behind requests at all.
//
// Requests wait in one queue per user, and the users take turns: a user who
// starts waiting goes behind every user already waiting, and a user whose
// request has just run goes behind every user waiting then. A request thus
// waits behind at most one request of each other user, the one running
// included. A hand-back takes the next turn ahead of every waiting request.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace smcd {

class FanTurns {
public:
    // Held while its owner talks to the SMC; the next turn is given when it goes.
    class Turn {
    public:
        Turn(Turn&& other) noexcept : turns_(std::exchange(other.turns_, nullptr)) {}
        Turn& operator=(Turn&&) = delete;
        ~Turn() {
            if (turns_) turns_->release();
        }

    private:
        friend class FanTurns;
        explicit Turn(FanTurns* turns) : turns_(turns) {}
        FanTurns* turns_;
    };

    FanTurns() = default;
    FanTurns(const FanTurns&) = delete;
    FanTurns& operator=(const FanTurns&) = delete;

    // A request of the user `uid`, in that user's turn. Once the turns have
    // been closed it never returns: the process is about to end.
    Turn forUser(std::uint32_t uid);
    // A hand-back: the next turn, ahead of every request waiting. Nothing
    // once the turns have been closed: the fans were handed back for good.
    std::optional<Turn> first();
    // Called in a turn: no turn is given after this one, and no waiting
    // request runs, for the rest of the process.
    void close();
    // While shut, requests wait (hand-backs do not): the fans have no
    // guardian yet that would hand back what a request changed.
    void shut(bool shut);

    // Requests and hand-backs waiting now (for tests that line them up).
    std::size_t waiting();

private:
    struct Waiter {
        std::condition_variable granted;
        bool done = false;
    };

    void release();
    void grantNext();  // with mutex_ held and no turn given
    void grant(Waiter& waiter);

    std::mutex mutex_;
    bool held_ = false;
    bool closed_ = false;
    bool shut_ = false;
    std::optional<std::uint32_t> holder_;  // the user whose request runs now
    std::deque<Waiter*> handBacks_;
    std::map<std::uint32_t, std::deque<Waiter*>> requests_;
    std::deque<std::uint32_t> users_;  // users with requests waiting, next first; never the holder
};

}  // namespace smcd
