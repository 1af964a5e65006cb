#pragma once

// Every limit the daemon enforces against its peers, each with its reason, in
// one place. Any local user can reach an admitted connection (anyone may run
// the app), so nothing a peer sends may make the daemon spend memory, threads,
// descriptors, CPU or time without bound. Past a limit the daemon refuses that
// one request or connection, logs it without flooding the log, and keeps
// serving everyone else. docs/SECURITY.md lists each one with its test.

#include <chrono>
#include <cstddef>

namespace smcd::limits {

// --- Descriptors -------------------------------------------------------------
//
// The daemon reads its soft RLIMIT_NOFILE once at start-up and splits it, so
// that no kind of work can starve another of descriptors: a fixed reserve for
// its own needs (standard streams, the log, the listening socket, the SMC, the
// fan guardian, a child's pipes, the Trash), then what is left shared between
// connections and walks.

// Standard streams, the log, the listening socket, the SMC connection, the
// guardian's pipe, and the pipes and pidfds of the children running at once.
inline constexpr std::size_t kReservedDescriptors = 16;

struct DescriptorShares {
    std::size_t connections = 0;  // descriptors connections may hold at once
    std::size_t walks = 0;        // descriptors all walks together may hold at once
};

// Half of what is left after the reserve for connections, half for walks:
// a flood of connections can never leave a walk without a descriptor, and
// deep walks can never keep a new peer from connecting.
constexpr DescriptorShares shareDescriptors(std::size_t softLimit) {
    const std::size_t usable = softLimit > kReservedDescriptors ? softLimit - kReservedDescriptors : 0;
    return DescriptorShares{usable / 2, usable - usable / 2};
}

// --- Connections and requests ------------------------------------------------
//
// In the spirit of systemd's varlink server (4,096 connections in all, 1,024
// per user, 16 MiB messages, time limits on what is half sent) and the D-Bus
// system bus (connections per user, a time limit on incomplete input), sized
// for this daemon. Idle connections are never timed out: the app keeps one
// open for as long as it runs.

// What one connection may hold at once outside walks: its socket, and what
// its one running request opens besides a walk. The most is the Trash's way
// down (home, .local, share, Trash, files, info) and two more while it climbs
// to the top of a volume; the peer gate's pidfd and executable, or a child's
// pipe and null devices, take fewer.
inline constexpr std::size_t kDescriptorsPerConnection = 9;

// Hard maxima whatever the descriptor limit, as varlink's: each connection
// is a thread of its own, so these also bound the daemon's threads.
inline constexpr std::size_t kMaxConnections = 4096;
inline constexpr std::size_t kMaxConnectionsPerUser = 1024;

struct ConnectionCaps {
    std::size_t total = 0;    // connections held at once, all users together
    std::size_t perUser = 0;  // connections one effective uid may hold at once
};

// Connections get their share of the descriptors (shareDescriptors above,
// which keeps them under half the limit, inside varlink's three quarters),
// kDescriptorsPerConnection each. One user may hold a quarter of them, as in
// varlink (1,024 of 4,096): at the common limit of 1,024 descriptors that is
// 56 connections and 14 per user, so a user flooding the daemon leaves room
// for three others, and root's requests and every walk keep their
// descriptors whatever the users do.
constexpr ConnectionCaps capConnections(std::size_t softLimit) {
    std::size_t total = shareDescriptors(softLimit).connections / kDescriptorsPerConnection;
    if (total > kMaxConnections) total = kMaxConnections;
    if (total == 0) total = 1;
    std::size_t perUser = total / 4;
    if (perUser > kMaxConnectionsPerUser) perUser = kMaxConnectionsPerUser;
    if (perUser == 0) perUser = 1;
    return ConnectionCaps{total, perUser};
}

// The largest request frame. Larger than any legitimate request (a
// quarter-million paths) by far; a length above it invalidates the
// connection before a byte of the frame is buffered.
inline constexpr std::size_t kMaxRequestSize = 16 * 1024 * 1024;

// The largest reply frame. Replies grow beyond their request (a record per
// path, data in base64, tool output of any length); clients take replies up
// to this size, the daemon never sends a larger one (the connection is
// invalidated instead), and the 4-byte length can never wrap.
inline constexpr std::size_t kMaxReplySize = std::size_t{1} << 30;

// No message of the protocol nests deeper than three levels (call, argument
// list, path list; reply, value list, data object). Refusing deeper input
// before parsing keeps a frame of brackets from costing memory and time out
// of all proportion to its size.
inline constexpr int kMaxRequestNesting = 4;

// Input buffered by all connections together: frames on their way in, held
// only as far as they have arrived. Sixteen largest requests at once; past
// it the connection whose input would overflow it is invalidated, so peers
// that start large frames and stall cannot make the daemon hold more.
inline constexpr std::size_t kBufferedInputBudget = 16 * kMaxRequestSize;

// A request frame that has begun must be whole within this time. Clients
// write a frame in one go, and 16 MiB cross a local socket in milliseconds;
// a peer that stalls half-way holds its buffer for no longer than this.
inline constexpr std::chrono::seconds kRequestFrameTimeout{10};

// A reply must be read whole within this time, or the connection ends. The
// client waits for it and reads a gigabyte in about a second; a peer that
// stops reading pins the reply's memory for no longer than this.
inline constexpr std::chrono::seconds kReplyTimeout{30};

// Refusals (over a cap, the budget, a time limit) are logged at once, then
// at most once per interval for each kind, with a count of those not logged:
// a peer refused in a loop cannot flood the log.
inline constexpr std::chrono::seconds kRefusalLogInterval{10};

// --- Walks (removal and measurement) -----------------------------------------

// --- Fans and the SMC --------------------------------------------------------

}  // namespace smcd::limits
