#pragma once
// Frames read off a raw socket, for tests that speak the wire themselves.

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/ipc/linux/wire.h"

namespace smcd::test {

// The next frame `reader` takes from `socket`; nothing once the other end has
// closed it. A socket that stays open and silent for `limit` fails the test:
// a closed connection is never mistaken for a slow one.
inline std::optional<std::string> nextFrame(int socket, platform::ipc::FrameReader& reader,
                                            std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::string payload;
    char buffer[65536];
    while (reader.next(payload) != platform::ipc::FrameReader::Status::frame) {
        pollfd readable{socket, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(limit.count())) != 1) {
            ADD_FAILURE() << "nothing within " << limit.count() << " ms on a connection still open";
            return std::nullopt;
        }
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0) return std::nullopt;
        reader.append(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    return payload;
}

}  // namespace smcd::test
