#include "maintenance/inspection_requests.h"

#include "maintenance/command_runners.h"
#include "platform/log/daemon_log.h"

namespace smcd {

const std::vector<std::string>& listeningSocketsArguments() {
    static const std::vector<std::string> arguments{"-nP", "-iTCP", "-sTCP:LISTEN", "-F", "pcnT"};
    return arguments;
}

const std::vector<std::string>& establishedConnectionsArguments() {
    static const std::vector<std::string> arguments{"-nP", "-iTCP", "-sTCP:ESTABLISHED", "-F", "pcnT"};
    return arguments;
}

std::string dumpBackgroundItems() { return runBackgroundItemDump(); }

std::string systemNetworkConnections() {
    std::string reply = runLsof(listeningSocketsArguments());
    reply += kLsofSectionSeparator;
    reply += runLsof(establishedConnectionsArguments());
    return reply;
}

SnapshotRefusal deleteLocalSnapshots(std::int64_t, std::string_view) {
    SMCD_LOG(daemonLog(), platform::LogLevel::notice, "snapshot deletion requested \u2014 refused; not implemented");
    return SnapshotRefusal{0, std::string(kSnapshotRefusalMessage)};
}

}  // namespace smcd
