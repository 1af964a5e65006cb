#include "platform/ipc/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <exception>

#include "platform/log/daemon_log.h"

namespace smcd::platform::ipc {

bool Connection::send(const std::string& bytes) {
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const ssize_t n = ::send(socket_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void Connection::serve() {
    if (resumed_ && interface_ && exported_) {
        try {
            serveCalls();
        } catch (const std::exception& error) {
            // Whatever a call throws, while its frame is decoded or while its
            // method runs (std::bad_alloc on a large request is the likely
            // one), ends this connection only.
            daemonLog().log(LogLevel::Error, "call failed with an exception; connection invalidated: %{public}s",
                            error.what());
        } catch (...) {
            daemonLog().log(LogLevel::Error, "call failed with an exception; connection invalidated");
        }
    }
    socket_.reset();
    if (invalidationHandler_) {
        auto handler = std::move(invalidationHandler_);
        handler();
    }
}

void Connection::serveCalls() {
    FrameReader reader;
    std::array<char, 64 * 1024> buffer;
    std::string payload;
    bool healthy = true;
    while (healthy) {
        const ssize_t n = ::recv(socket_.get(), buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of stream or a socket error
        reader.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        for (;;) {
            const FrameReader::Status status = reader.next(payload);
            if (status == FrameReader::Status::needMore) break;
            std::optional<Call> call;
            if (status == FrameReader::Status::frame) call = decodeCall(payload, *interface_);
            if (!call) {
                healthy = false;
                break;
            }
            const MethodSignature& signature = interface_->methods()[call->method];
            bool replied = false;
            bool delivered = false;
            const ReplyHandler reply = [&](std::vector<WireValue> values) {
                if (replied) return;  // exactly once, whatever the callee does
                replied = true;
                if (values.size() != signature.reply.size()) return;
                for (std::size_t i = 0; i < values.size(); ++i)
                    if (!valueMatches(values[i], signature.reply[i])) return;
                // The values (the reply data among them) are gone once the
                // frame is written. A frame the client refuses is never
                // built: it would lose the reply after the work was done, so
                // the connection ends instead, which the client sees as
                // invalidation. A reply text that is not UTF-8 cannot be sent.
                const Encoded bytes = encodeReply(Reply{call->id, std::move(values)}, maxReplySize_);
                if (!bytes) {
                    if (bytes.error().kind == EncodeFailure::tooLarge)
                        daemonLog().log(LogLevel::Error,
                                        "reply of %{public}lu bytes exceeds the reply limit; connection invalidated",
                                        bytes.error().payloadSize);
                    return;
                }
                delivered = send(*bytes);
            };
            exported_->invoke(call->method, std::move(call->arguments), reply);
            if (!delivered) {
                healthy = false;
                break;
            }
        }
    }
}

}  // namespace smcd::platform::ipc
