#include "support/daemon.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>

#include "client/client.h"

namespace smcd::test {

UniqueFd connectTo(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return UniqueFd();
    return fd;
}

bool pingAnswered(const std::string& socketPath) {
    auto c = client::Client::connect(socketPath);
    if (!c.has_value()) return false;
    const auto version = c.value().ping();
    return version.has_value() && version.value() == "14";
}

Daemon::Daemon(Options options) {
    const std::string smcd = std::string(SMCD_BINARY_DIR) + "/smcd";
    if (options.compiledInPath) {
        socketPath_ = client::defaultSocketPath();
        process_ = std::make_unique<ChildProcess>(std::vector<std::string>{smcd});
    } else {
        directory_ = std::make_unique<TempDir>();
        socketPath_ = *directory_ / "smcd.socket";
        UniqueFd listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
        if (::bind(listening.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listening.get(), SOMAXCONN) != 0)
            throw std::runtime_error("cannot make the activation socket");
        // Reachable by every user, as the service manager's socket unit makes it.
        ::chmod(directory_->path().c_str(), 0755);
        ::chmod(socketPath_.c_str(), 0666);
        // The shell's own pid is the daemon's after exec, as LISTEN_PID requires.
        SpawnOptions spawn;
        spawn.descriptorThree = listening.get();
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c", "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\"", smcd}, spawn);
    }
    if (options.waitUntilServing &&
        !eventually([&] { return connectTo(socketPath_).valid() || !process_->running(); }) ) {
        throw std::runtime_error("smcd did not start serving");
    }
}

bool Daemon::logEventuallyContains(const std::string& text, std::chrono::milliseconds limit) const {
    return eventually([&] { return log().find(text) != std::string::npos; }, limit);
}

Finished smcctl(const Daemon& daemon, std::vector<std::string> args, SpawnOptions options) {
    args.insert(args.begin(), {std::string(SMCD_BINARY_DIR) + "/smcctl", "--socket", daemon.socketPath()});
    return run(std::move(args), std::move(options));
}

}  // namespace smcd::test
