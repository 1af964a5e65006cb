#pragma once

// Requests that need root but decide nothing: raw tool output handed through
// for the client to parse, and the snapshot deletion that is always refused.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace smcd {

// Between the two socket listings: LF, U+0001, "vornik-section", U+0001, LF.
// Always present in the reply, so the client can split on it.
inline constexpr std::string_view kLsofSectionSeparator = "\n\x01vornik-section\x01\n";

const std::vector<std::string>& listeningSocketsArguments();
const std::vector<std::string>& establishedConnectionsArguments();

// `sfltool dumpbtm` output, untrimmed; empty when the tool is missing.
std::string dumpBackgroundItems();

// Listening sockets, the separator, established connections (run in that order).
std::string systemNetworkConnections();

struct SnapshotRefusal {
    std::int64_t count;
    std::string message;
    bool operator==(const SnapshotRefusal&) const = default;
};

inline constexpr std::string_view kSnapshotRefusalMessage = "Vornik doesn't remove local snapshots.";

// Logs the refusal and examines nothing; the arguments are never looked at.
SnapshotRefusal deleteLocalSnapshots(std::int64_t days, std::string_view volume);

}  // namespace smcd
