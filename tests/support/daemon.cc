#include "support/daemon.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>

#include "client/client.h"
#include "smcd/product_facts.h"

namespace smcd::test {

bool pingAnswered(const std::string& socketPath) {
    auto c = client::Client::connect(socketPath);
    if (!c.has_value()) return false;
    const auto version = c.value().ping();
    return version.has_value() && version.value() == product_facts::kDaemonVersion;
}

Daemon::Daemon(Options options) {
    const std::string smcd = std::string(SMCD_BINARY_DIR) + "/smcd";
    // The shell sets the limit and hands its pid on to the daemon with exec.
    std::string limit = options.descriptorLimit ? "ulimit -n " + std::to_string(*options.descriptorLimit) + " && " : "";
    if (options.hardDescriptorLimit) {
        limit = "ulimit -Sn " + std::to_string(options.descriptorLimit.value_or(*options.hardDescriptorLimit)) +
                " && ulimit -Hn " + std::to_string(*options.hardDescriptorLimit) + " && ";
    }
    if (options.compiledInPath) {
        socketPath_ = client::defaultSocketPath();
        process_ = std::make_unique<ChildProcess>(limit.empty() ? std::vector<std::string>{smcd}
                                                                : std::vector<std::string>{"/bin/sh", "-c", limit + "exec \"$0\"", smcd});
    } else {
        directory_ = std::make_unique<TempDir>();
        socketPath_ = *directory_ / "smcd.socket";
        const UniqueFd listening = listenAt(socketPath_);
        // Reachable by every user, as the service manager's socket unit makes it.
        ::chmod(directory_->path().c_str(), 0755);
        ::chmod(socketPath_.c_str(), 0666);
        // The shell's own pid is the daemon's after exec, as LISTEN_PID requires.
        SpawnOptions spawn;
        spawn.descriptorThree = listening.get();
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c", limit + "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\"", smcd}, spawn);
    }
    if (options.waitUntilServing &&
        !eventually([&] { return connectTo(socketPath_).valid() || !process_->running(); }) ) {
        throw std::runtime_error("smcd did not start serving");
    }
}

bool Daemon::logEventuallyContains(const std::string& text, std::chrono::milliseconds limit) const {
    return eventually([&] { return logContains(text); }, limit);
}

Finished smcctl(const Daemon& daemon, std::vector<std::string> args, SpawnOptions options) {
    args.insert(args.begin(), {std::string(SMCD_BINARY_DIR) + "/smcctl", "--socket", daemon.socketPath()});
    return run(std::move(args), std::move(options));
}

}  // namespace smcd::test
