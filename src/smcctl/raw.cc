#include "smcctl/raw.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "common/io.h"

namespace smcd::smcctl {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

bool pumpRaw(int socket, int in, int out) {
    std::array<char, kChunk> input;
    std::array<char, kChunk> replies;
    std::size_t pendingStart = 0;
    std::size_t pendingEnd = 0;  // input read but not yet sent: input[pendingStart, pendingEnd)
    bool inputOpen = true;
    auto pending = [&] { return pendingEnd - pendingStart; };
    for (;;) {
        // Standard input is read only once what came from it has gone out.
        std::array<pollfd, 2> watched{{
            {socket, static_cast<short>(POLLIN | (pending() > 0 ? POLLOUT : 0)), 0},
            {inputOpen && pending() == 0 ? in : -1, POLLIN, 0},
        }};
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const auto got = io::readSome(socket, replies.data(), replies.size());
            if (!got) return false;
            if (*got == 0) return !inputOpen && pending() == 0;
            if (!io::writeAll(out, replies.data(), *got)) return false;
        }
        if (watched[0].revents & POLLOUT) {
            const ssize_t sent =
                ::send(socket, input.data() + pendingStart, pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (sent > 0) pendingStart += static_cast<std::size_t>(sent);
        }
        if (watched[1].revents != 0) {
            const auto got = io::readSome(in, input.data(), input.size());
            if (!got) return false;
            pendingStart = 0;
            pendingEnd = *got;
            if (pendingEnd == 0) {
                inputOpen = false;  // the daemon answers what it has and ends the stream
                ::shutdown(socket, SHUT_WR);
            }
        }
    }
}

}  // namespace smcd::smcctl
