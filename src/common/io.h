#pragma once

// Whole reads and writes on a descriptor, the one place that retries what a
// signal interrupts and what a short transfer leaves over (as systemd's
// loop_read and loop_write). A failure is the errno of the call that failed;
// on a non-blocking descriptor that may be EAGAIN, after part of the bytes.

#include <cstddef>
#include <string_view>

#include "common/expected.h"

namespace smcd::io {

// One read of whatever is there: 0 at end of stream.
Expected<std::size_t, int> readSome(int fd, void* buffer, std::size_t size);

// Reads until `size` bytes have arrived or the stream ends: the count read,
// short only at end of stream.
Expected<std::size_t, int> readAll(int fd, void* buffer, std::size_t size);

// Writes every byte. Sockets are written with MSG_NOSIGNAL, so a peer that
// has gone is EPIPE, never SIGPIPE (a service manager's standard error is a
// socket too).
Expected<void, int> writeAll(int fd, const void* data, std::size_t size);
inline Expected<void, int> writeAll(int fd, std::string_view bytes) { return writeAll(fd, bytes.data(), bytes.size()); }

}  // namespace smcd::io
