#pragma once

namespace smcd::smcctl {

// `smcctl raw`: copies `in` to the connected `socket` and the socket to
// `out` at the same time. The daemon stops reading calls while its replies
// go unread, so a client that wrote all its input before reading any reply
// would wait on the daemon as the daemon waits on it. True when every byte
// of input went out and the daemon then ended the stream.
bool pumpRaw(int socket, int in, int out);

}  // namespace smcd::smcctl
