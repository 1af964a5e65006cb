#include "common/io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace smcd::io {

Expected<std::size_t, int> readSome(int fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return unexpected(errno);
    }
}

Expected<std::size_t, int> readAll(int fd, void* buffer, std::size_t size) {
    auto* at = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const auto n = readSome(fd, at + done, size - done);
        if (!n) return unexpected(n.error());
        if (*n == 0) break;
        done += *n;
    }
    return done;
}

Expected<void, int> writeAll(int fd, const void* data, std::size_t size) {
    const auto* at = static_cast<const char*>(data);
    bool socket = true;  // until the descriptor says otherwise
    while (size > 0) {
        const ssize_t n = socket ? ::send(fd, at, size, MSG_NOSIGNAL) : ::write(fd, at, size);
        if (n < 0 && socket && errno == ENOTSOCK) {
            socket = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return unexpected(errno);
        if (n == 0) return unexpected(EIO);  // no progress would loop forever
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace smcd::io
