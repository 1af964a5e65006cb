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
// RLIMIT_NOFILE above) and memory for listed names. A walk takes its share
// when it starts and gives it back when it ends; when a pool is short it
// starts with less, and when not even its fewest is free it waits for another
// walk to end. So no peer's walks can make another peer's walk fail, only
// wait or go slower.

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

// Descriptors a walk holds for a moment beyond its open levels: one reading a
// listing, one opening the next level.
inline constexpr std::size_t kWalkMomentaryDescriptors = 2;

// Names listed but not yet handled that one walk holds at most (a directory
// is read in chunks of this size, as fts reads 100,000 entries at a time),
// and the least it starts with when memory is short.
inline constexpr std::size_t kWalkListingBytes = std::size_t{1} << 20;
inline constexpr std::size_t kWalkFewestListingBytes = std::size_t{64} << 10;

// Listed names all walks together hold at most: 32 walks at full width. The
// names of the levels a walk stands in (its path, which grows with depth as
// du's does) are not listed names and are not counted here.
inline constexpr std::size_t kAllWalksListingBytes = 32 * kWalkListingBytes;

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

}  // namespace smcd::limits
