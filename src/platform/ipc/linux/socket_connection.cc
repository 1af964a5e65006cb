#include "platform/ipc/linux/socket_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <exception>

#include "platform/ipc/linux/hangup_watcher.h"
#include "platform/log/refusal_report.h"
#include "platform/log/daemon_log.h"

namespace smcd::platform::ipc {
namespace {

using Clock = std::chrono::steady_clock;

enum class Readiness { ready, timedOut, failed };

// No deadline: wait for as long as it takes.
constexpr Clock::time_point kNever = Clock::time_point::max();

// Waits until `events` are possible on `socket` (or it hangs up or fails, which
// the following call reports), at the latest until `deadline`.
Readiness awaitSocket(int socket, short events, Clock::time_point deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != kNever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return Readiness::timedOut;
            timeout = static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
        }
        pollfd watched{socket, events, 0};
        const int ready = ::poll(&watched, 1, timeout);
        if (ready > 0) return Readiness::ready;
        if (ready < 0 && errno != EINTR) return Readiness::failed;
    }
}

// Waits as awaitSocket does and runs `reportTimeOut` if the deadline passes
// first; true when the socket is ready. The report writes its own line, so
// that each line's format stays a literal where it is logged.
template <class ReportTimeOut>
bool awaitWithin(int socket, short events, Clock::time_point deadline, const ReportTimeOut& reportTimeOut) {
    const Readiness readiness = awaitSocket(socket, events, deadline);
    if (readiness == Readiness::timedOut) reportTimeOut();
    return readiness == Readiness::ready;
}



// One report per kind of refusal, for the whole daemon.
RefusalReport& overBudgetReport() {
    static RefusalReport report;
    return report;
}
RefusalReport& frameTimeoutReport() {
    static RefusalReport report;
    return report;
}
RefusalReport& replyTimeoutReport() {
    static RefusalReport report;
    return report;
}

}  // namespace

// The part of the input budget one connection holds: what its reader has
// buffered. Given back whole when the connection ends.
class SocketConnection::InputShare {
public:
    explicit InputShare(InputBudget& budget) : budget_(budget) {}
    ~InputShare() { budget_.giveBack(held_); }
    InputShare(const InputShare&) = delete;
    InputShare& operator=(const InputShare&) = delete;

    bool take(std::size_t bytes) {
        if (!budget_.take(bytes)) return false;
        held_ += bytes;
        return true;
    }
    // Down to what the reader still holds.
    void settle(std::size_t buffered) {
        if (buffered >= held_) return;
        budget_.giveBack(held_ - buffered);
        held_ = buffered;
    }

private:
    InputBudget& budget_;
    std::size_t held_ = 0;
};

bool SocketConnection::send(const std::string& bytes) {
    const auto deadline = Clock::now() + limits_.replyTimeout;
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const ssize_t n = ::send(socket_.get(), rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            rest.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        const auto timedOut = [this] {
            SMCD_LOG_REFUSAL(replyTimeoutReport(),
                             "reply not read within %{public}lld ms; connection invalidated (%{public}zu more since "
                             "the last such line)",
                             static_cast<long long>(limits_.replyTimeout.count()));
        };
        if (!awaitWithin(socket_.get(), POLLOUT, deadline, timedOut)) return false;
    }
    return true;
}

void SocketConnection::serve() {
    if (resumed_ && interface_ && exported_) {
        try {
            serveCalls();
        } catch (const std::exception& error) {
            // Whatever a call throws, while its frame is decoded or while its
            // method runs (std::bad_alloc on a large request is the likely
            // one), ends this connection only.
            SMCD_LOG(daemonLog(), LogLevel::error,
                     "call failed with an exception; connection invalidated: %{public}s", error.what());
        } catch (...) {
            SMCD_LOG(daemonLog(), LogLevel::error, "call failed with an exception; connection invalidated");
        }
    }
    {
        const std::lock_guard guard(socketLock_);
        socket_.reset();
    }
    state_->end();
}

void SocketConnection::invalidate() {
    {
        // Wakes the serving thread from its wait for the peer; the socket
        // itself is closed there.
        const std::lock_guard guard(socketLock_);
        if (socket_) ::shutdown(socket_.get(), SHUT_RDWR);
    }
    state_->end();
}

void SocketConnection::serveCalls() {
    FrameReader reader;
    InputShare input(*limits_.inputBudget);
    std::array<char, 64 * 1024> buffer;
    // Set when a frame begins to arrive; time spent serving earlier frames
    // is the daemon's, not counted against the peer.
    Clock::time_point frameDeadline = kNever;
    for (;;) {
        std::string_view payload;
        for (FrameReader::Status status; (status = reader.next(payload)) != FrameReader::Status::needMore;) {
            if (status == FrameReader::Status::invalid) return;
            auto call = decodeCall(payload, *interface_);
            reader.release();
            input.settle(reader.buffered());
            frameDeadline = kNever;
            if (!call || !serveCall(std::move(*call))) return;
        }
        if (!reader.midFrame()) frameDeadline = kNever;
        else if (frameDeadline == kNever) frameDeadline = Clock::now() + limits_.requestFrameTimeout;
        const auto timedOut = [this] {
            SMCD_LOG_REFUSAL(frameTimeoutReport(),
                             "request not complete within %{public}lld ms; connection invalidated (%{public}zu more "
                             "since the last such line)",
                             static_cast<long long>(limits_.requestFrameTimeout.count()));
        };
        if (!awaitWithin(socket_.get(), POLLIN, frameDeadline, timedOut)) return;
        const ssize_t n = ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return;  // end of stream or a socket error
        if (!input.take(static_cast<std::size_t>(n))) {
            SMCD_LOG_REFUSAL(
                overBudgetReport(),
                "buffered input of all connections at its limit of %{public}zu bytes; connection invalidated "
                "(%{public}zu more since the last such line)",
                limits_.inputBudget->capacity());
            return;
        }
        reader.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        input.settle(reader.buffered());
    }
}

bool SocketConnection::serveCall(Call call) {
    if (state_->ended()) return false;
    if (messageCheck_ && !messageCheck_()) {
        invalidate();
        return false;
    }
    const MethodSignature& signature = interface_->methods()[call.method];
    bool replied = false;
    bool delivered = false;
    const ReplyHandler reply = [&](std::vector<WireValue> values) {
        if (replied) return;  // exactly once, whatever the callee does
        replied = true;
        // The peer hung up while the call ran: the work is done, the reply
        // has nobody to go to.
        if (state_->ended()) return;
        if (values.size() != signature.reply.size()) return;
        for (std::size_t i = 0; i < values.size(); ++i)
            if (!valueMatches(values[i], signature.reply[i])) return;
        // The values (the reply data among them) are gone once the frame is
        // written. A frame the client refuses is never built: it would lose
        // the reply after the work was done, so the connection ends instead,
        // which the client sees as invalidation. A reply text that is not
        // UTF-8 cannot be sent.
        const Encoded bytes = encodeReply(Reply{call.id, std::move(values)}, limits_.maxReplySize);
        if (!bytes) {
            if (bytes.error().kind == EncodeFailure::tooLarge)
                SMCD_LOG(daemonLog(), LogLevel::error,
                         "reply of %{public}zu bytes exceeds the reply limit; connection invalidated",
                         bytes.error().payloadSize);
            return;
        }
        delivered = send(*bytes);
    };
    {
        const auto watch = HangUpWatcher::shared().watch(socket_.get(), state_);
        exported_->invoke(call.method, std::move(call.arguments), reply);
    }
    return delivered && !state_->ended();
}

}  // namespace smcd::platform::ipc
