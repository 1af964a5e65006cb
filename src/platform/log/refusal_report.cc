#include "platform/log/refusal_report.h"

#include <condition_variable>
#include <map>
#include <system_error>
#include <thread>

namespace smcd::platform {

// Writes the counts still pending when their interval ends: one thread for
// the whole process, started when the first count is left pending and never
// stopped (it outlives every static report, which leaves its list when it is
// destroyed). Reports are written under the timer's lock, so a report is
// never destroyed while its line is being written.
class RefusalTimer {
public:
    static RefusalTimer& shared() {
        static RefusalTimer* timer = new RefusalTimer();
        return *timer;
    }

    void schedule(RefusalReport* report, RefusalReport::Clock::time_point due) {
        {
            const std::lock_guard guard(lock_);
            due_[report] = due;
            if (!started_) {
                try {
                    std::thread([this] { run(); }).detach();
                    started_ = true;
                } catch (const std::system_error&) {
                    // No thread: the count goes out with the next line of its kind.
                }
            }
        }
        changed_.notify_one();
    }

    void forget(RefusalReport* report) {
        const std::lock_guard guard(lock_);
        due_.erase(report);
    }

private:
    void run() {
        std::unique_lock guard(lock_);
        for (;;) {
            if (due_.empty()) {
                changed_.wait(guard);
                continue;
            }
            auto earliest = due_.begin();
            for (auto it = due_.begin(); it != due_.end(); ++it)
                if (it->second < earliest->second) earliest = it;
            // Waited for by the wall clock, which a timed wait takes in POSIX,
            // for as long as the steady clock has left.
            const auto left = earliest->second - RefusalReport::Clock::now();
            if (changed_.wait_until(guard, std::chrono::system_clock::now() + left) == std::cv_status::no_timeout)
                continue;
            const auto now = RefusalReport::Clock::now();
            for (auto it = due_.begin(); it != due_.end();) {
                if (it->second > now) {
                    ++it;
                    continue;
                }
                const auto next = it->first->writePending(now);
                if (next) {
                    it->second = *next;
                    ++it;
                } else {
                    it = due_.erase(it);
                }
            }
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::map<RefusalReport*, RefusalReport::Clock::time_point> due_;
    bool started_ = false;
};

RefusalReport::RefusalReport(std::string_view kind, Clock::duration interval) : kind_(kind), interval_(interval) {
    // Made first, so destroyed after every report that writes to it.
    (void)daemonLog();
}

RefusalReport::~RefusalReport() { RefusalTimer::shared().forget(this); }

std::optional<std::size_t> RefusalReport::count(Clock::time_point now) {
    std::optional<Clock::time_point> schedule;
    {
        const std::lock_guard guard(lock_);
        if (lastLine_ && now - *lastLine_ < interval_) {
            if (unlogged_++ == 0) schedule = *lastLine_ + interval_;
        } else {
            lastLine_ = now;
            const std::size_t unlogged = unlogged_;
            unlogged_ = 0;
            return unlogged;
        }
    }
    // Outside the report's lock: the timer takes its own lock, then ours.
    if (schedule) RefusalTimer::shared().schedule(this, *schedule);
    return std::nullopt;
}

std::optional<RefusalReport::Clock::time_point> RefusalReport::writePending(Clock::time_point now) {
    const std::lock_guard guard(lock_);
    if (unlogged_ == 0 || !lastLine_) return std::nullopt;
    if (now - *lastLine_ < interval_) return *lastLine_ + interval_;
    SMCD_LOG(daemonLog(), LogLevel::error, "%{public}zu more %{public}s since the last such line", unlogged_, kind_);
    unlogged_ = 0;
    lastLine_ = now;
    return std::nullopt;
}

}  // namespace smcd::platform
