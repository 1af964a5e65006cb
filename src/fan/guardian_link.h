#pragma once

// The link between the daemon and its fan guardian: a message socket
// carrying one byte at a time.

#include <optional>

namespace smcd::guardian_link {

// The guardian holds its SMC connection and its post.
inline constexpr char kArmed = 'A';
// The daemon has handed every fan back and runs no fan request again.
inline constexpr char kHandedBack = 'H';

bool send(int link, char byte);
// The next byte, or nothing once the other end is closed (or broken).
std::optional<char> receive(int link);

}  // namespace smcd::guardian_link
