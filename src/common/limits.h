#pragma once

// Every limit the daemon enforces against its peers, each with its reason, in
// one place. Any local user can reach an admitted connection (anyone may run
// the app), so nothing a peer sends may make the daemon spend memory, threads,
// descriptors, CPU or time without bound. Past a limit the daemon refuses that
// one request or connection, logs it without flooding the log, and keeps
// serving everyone else. docs/SECURITY.md lists each one with its test.

#include <chrono>
#include <climits>
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
// guardian's link, and the pipes and pidfds of the children running at once.
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

// The soft limit the daemon raises itself to at start-up, as far as its hard
// limit lets it. launchd starts a daemon at a soft limit of 256, where the
// shares above leave 13 connections, 3 per user: an app relaunching, a widget
// and smcctl would already be refused. At 4,096 there are 226 connections, 56
// per user, and 2,040 descriptors for walks (sixty at full width). More would
// only add threads, one per connection, that no Mac's users need.
inline constexpr std::size_t kDescriptorLimitGoal = 4096;

// The soft limit to run with: raised toward the goal as far as `hard` (and
// `platformMost`, macOS's OPEN_MAX, above which setrlimit refuses) allows,
// never lowered.
constexpr std::size_t raisedDescriptorLimit(std::size_t soft, std::size_t hard, std::size_t platformMost) {
    std::size_t goal = kDescriptorLimitGoal;
    if (goal > hard) goal = hard;
    if (goal > platformMost) goal = platformMost;
    return goal > soft ? goal : soft;
}

// --- Connections and requests ------------------------------------------------
//
// In the spirit of systemd's varlink server (4,096 connections in all, 1,024
// per user, 16 MiB messages, time limits on what is half sent) and the D-Bus
// system bus (connections per user, a time limit on incomplete input), sized
// for this daemon. Idle connections are never timed out: the app keeps one
// open for as long as it runs.

// What one connection may hold at once outside walks: its socket, and what
// its one running request opens besides a walk. The most is a Trash move:
// the item's folder, the two Trashes of the request (the peer's and the
// daemon's) each keeping `files` and `info` open for a home and a volume,
// and three more while the last of these is opened; the peer gate's pidfd
// and executable, or a child's pipe and null devices, take fewer.
inline constexpr std::size_t kDescriptorsPerConnection = 11;

// One effective uid may hold at most a quarter of every daemon-wide pool
// (connections, buffered input, replies, walk descriptors and memory), as in varlink (1,024 of 4,096
// connections per user): however hard one user presses, three others always
// find room.
inline constexpr std::size_t kUserShareDivisor = 4;

constexpr std::size_t userShare(std::size_t pool) {
    return pool / kUserShareDivisor > 0 ? pool / kUserShareDivisor : 1;
}

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
// 45 connections and 11 per user, so a user flooding the daemon leaves room
// for three others, and root's requests and every walk keep their
// descriptors whatever the users do.
constexpr ConnectionCaps capConnections(std::size_t softLimit) {
    std::size_t total = shareDescriptors(softLimit).connections / kDescriptorsPerConnection;
    if (total > kMaxConnections) total = kMaxConnections;
    if (total == 0) total = 1;
    std::size_t perUser = userShare(total);
    if (perUser > kMaxConnectionsPerUser) perUser = kMaxConnectionsPerUser;
    return ConnectionCaps{total, perUser};
}

// The largest request frame. Larger than any legitimate request (a
// quarter-million paths) by far; a length above it invalidates the
// connection before a byte of the frame is buffered.
inline constexpr std::size_t kMaxRequestSize = 16 * 1024 * 1024;

// The largest reply frame. Replies grow beyond their request (a record per
// path, data in base64, tool output of any length); clients take replies up
// to this size, the daemon never sends a larger one (the connection is
// invalidated instead), and the 4-byte length can never wrap. One user's
// share of the reply budget (below) keeps the daemon's replies well under it.
inline constexpr std::size_t kMaxReplySize = std::size_t{1} << 30;

// No message of the protocol nests deeper than three levels (call, argument
// list, path list; reply, value list, data object). The parser stops at the
// first bracket deeper than that, so a frame of brackets cannot cost memory
// and time out of all proportion to its size.
inline constexpr int kMaxRequestNesting = 3;

// Input buffered by all connections together: frames on their way in, held
// only as far as they have arrived. Sixteen largest requests at once; past
// it the connection whose input would overflow it is invalidated, so peers
// that start large frames and stall cannot make the daemon hold more.
inline constexpr std::size_t kBufferedInputBudget = 16 * kMaxRequestSize;

// What one uid's connections may hold of it: four largest requests. A frame
// stays counted until its call has been answered, so this also bounds the
// requests one user has decoded and running at once (a 16 MiB call decodes
// to at most about 180 MB of texts).
inline constexpr std::size_t kBufferedInputPerUser = userShare(kBufferedInputBudget);

// Replies being built or waiting to be read, all connections together: the
// records of a request while it runs, its reply text and the frame that
// carries it until the peer has read it. Without it, four unread answers to
// 16 MiB requests cost the daemon 3 GiB. A request whose reply would pass its
// user's share, or the budget, is refused as a whole and its connection
// invalidated; a reply that grows past it while it is built ends its
// connection the same way.
inline constexpr std::size_t kReplyBudget = std::size_t{1} << 30;

// What one uid's replies may hold of it: 256 MiB, nearly three times what
// a legitimate request of a quarter-million paths holds at its peak (its
// reply text and the frame that carries it, about 90 MB).
inline constexpr std::size_t kReplyBudgetPerUser = userShare(kReplyBudget);

// Task ids one maintenance request may name. The table has five tasks;
// sixteen ids run each of them three times over, more than a client needs.
// A request naming more is refused as a whole, nothing run, and its
// connection invalidated: answering each id would cost as much as the work
// refused (a 16 MiB request holds 5.6 million ids).
inline constexpr std::size_t kMaxMaintenanceTasksPerRequest = 16;

// Log lines one request writes: per-item lines (an unknown task id, a refused
// path) keep their text for the first ones, then one line counts the rest. A
// request of a million refused paths cannot flood the log, which journald and
// the unified log would answer by dropping every other user's lines.
inline constexpr std::size_t kLogLinesPerRequest = 32;

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

// --- Screening (removal, measurement, launchd plists) -----------------------
//
// Client paths are compared as Unicode text, and putting text in canonical
// form costs time that grows with the square of its longest run of combining
// marks: one 80 KB name of marks in reverse order took half a minute. No file
// can have a path or a name longer than the kernel takes, so screening refuses
// such a path by counting bytes, before any Unicode work; every name it then
// puts in canonical form holds at most kMaxNameBytes, which keeps the cost of
// a request linear in its length.

// Longest path screening accepts, in bytes: PATH_MAX counts the terminating
// NUL, so a path of PATH_MAX bytes already fails every system call.
inline constexpr std::size_t kMaxPathBytes = PATH_MAX - 1;

// Longest name (one component between slashes) screening accepts, in bytes.
inline constexpr std::size_t kMaxNameBytes = NAME_MAX;

// --- Walks (removal and measurement) -----------------------------------------
//
// Every removal and measurement walks its tree by descriptors. What a walk
// holds is drawn from two daemon-wide pools: descriptors (the walks' share of
// RLIMIT_NOFILE above) and memory for listed names and the levels a walk
// stands in. A walk takes its share when it starts and gives it back when it
// ends; when a pool is short it starts with less, and when not even its
// fewest is free it waits for another walk to end. One user holds at most a
// quarter of each pool, so no user's walks can make another user's walk
// fail or wait on them, only go slower.

// Levels one walk keeps open at most. Every ordinary tree (up to 32 levels)
// stays fully open, so nothing is ever looked up twice, while a daemon at the
// default soft limit of 1024 descriptors still runs over a dozen deep walks at
// full width and many more at their fewest.
inline constexpr std::size_t kWalkOpenLevels = 32;

// Levels a walk works with when descriptors are short: the start, the level
// it is in and four spread between them keep finding a level again within a
// few opens per level on any shape (a comb of depth 2,000 costs about three
// times the opens it costs at full width).
inline constexpr std::size_t kWalkFewestOpenLevels = 6;

// Descriptors a walk holds for a moment beyond its open levels: the next
// level, opened before the walk gives up one it keeps open. The listing
// reads through the level's own descriptor and needs none.
inline constexpr std::size_t kWalkMomentaryDescriptors = 1;

// Memory one walk starts with at most: listed names not yet handled (a
// directory is read in chunks of up to a quarter of what the walk has free,
// as fts reads 100,000 entries at a time) and the levels it stands in, whose
// names grow with depth as du's do; and the least it starts with when
// memory is short.
// A walk that goes deeper than its share holds takes more in steps of its
// fewest, while its user's share and the pool have it free; past that the
// walk is refused as exhausted (ENOMEM), never cut short.
inline constexpr std::size_t kWalkMemoryBytes = std::size_t{1} << 20;
inline constexpr std::size_t kWalkFewestMemoryBytes = std::size_t{64} << 10;

// Memory all walks together hold at most: 32 walks at full width. One user's
// quarter of it (8 MiB) holds a walk of about 50,000 levels of short names
// or 20,000 of the longest, where 14 walks of a million-level chain would
// otherwise take gigabytes.
inline constexpr std::size_t kAllWalksMemoryBytes = 32 * kWalkMemoryBytes;

// Threads one walk works on at most: the request's own and a second one,
// which takes top-level entries of the item from the same listing. The walk
// is bound by its system calls (a status call per file when measuring, an
// unlink per entry when removing), which one thread cannot make any faster,
// and the machines have at least two cores. A second worker takes its own
// shares of both pools only when they are free at once and leave the next
// walk its fewest, so it never makes any walk wait; more workers would let
// one request take every core from everyone else's.
inline constexpr std::size_t kWalkWorkers = 2;

// --- Fans and the SMC --------------------------------------------------------
//
// The SMC is the one thing no peer controls but every fan request waits on.
// A call it leaves unanswered must fail alone and cost a bounded time, and
// handing the fans back must survive such a call without ever running on.

// How long one SMC call may wait for its answer before its connection is
// given up (the next call connects again). The real controller answers in
// microseconds; five seconds is far beyond any load yet keeps the engine's
// lock, which every fan request waits on, from being held for long.
inline constexpr std::chrono::milliseconds kSMCAnswerTimeout{5'000};

// Attempts per SMC call while a fan is put back to automatic (the mode-key
// read, the mode write and its read-back, the target clear, the "Ftst"
// read and write). One stalled or dropped call costs one attempt and the next
// reconnects; three survive two such failures in a row, while a hand-back on
// an SMC that is gone for good still ends within a bounded time.
inline constexpr int kFanHandBackAttempts = 3;

// Pause before each further attempt: long enough for a controller that
// refused a write for a moment to take the next, short enough that a hand-back
// on a vanished SMC ends in well under a second per call.
inline constexpr std::chrono::milliseconds kFanHandBackRetryPause{100};

// How long a new daemon holds back every fan request while the guardian of
// an earlier daemon (killed, or crashed) still holds its post, so that this
// guardian's hand-back never undoes a new client's fan. That hand-back takes
// well under a second from an SMC that answers, and kSMCAnswerTimeout more
// for each call left unanswered: fifteen seconds see it through two such
// calls. An SMC silent for longer fails the new daemon's fan requests as
// well, so waiting on would gain nothing; a post held by anyone but root is
// not waited on at all, since any user can take a free name.
inline constexpr std::chrono::milliseconds kFanGuardianSuccessionWait{15'000};

}  // namespace smcd::limits
