#pragma once

// The real smcd binary under test. By default it is socket-activated on a
// fresh socket in a temporary folder, the way the service manager starts it,
// so tests need not share the compiled-in path; `compiledInPath` makes it
// bind /var/run/com.vornik.smcd.socket itself (inside the sandbox only).

#include <memory>
#include <stdexcept>
#include <optional>
#include <string>

#include "client/client.h"
#include "common/unique_fd.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/unix_socket.h"

namespace smcd::test {

class Daemon {
public:
    struct Options {
        bool compiledInPath = false;
        bool waitUntilServing = true;
        // The soft and hard RLIMIT_NOFILE it starts with; the test's own otherwise.
        std::optional<unsigned> descriptorLimit = std::nullopt;
        // A hard limit above that soft one, which the daemon may raise it to.
        std::optional<unsigned> hardDescriptorLimit = std::nullopt;
    };
    Daemon() : Daemon(Options{}) {}
    explicit Daemon(Options options);

    const std::string& socketPath() const { return socketPath_; }
    pid_t pid() const { return process_->pid(); }
    ChildProcess& process() { return *process_; }
    // Everything the daemon has logged so far (its standard error).
    std::string log() const { return process_->standardError(); }
    bool logContains(const std::string& text) const { return log().find(text) != std::string::npos; }
    bool logEventuallyContains(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    std::unique_ptr<TempDir> directory_;
    std::string socketPath_;
    std::unique_ptr<ChildProcess> process_;
};

// What the daemon answered to a call (or a connection it took); anything
// else ends the test.
template <class T>
T answered(client::Result<T> reply) {
    if (!reply.has_value()) throw std::runtime_error("not answered: " + reply.error().reason);
    return std::move(reply.value());
}

// Whether a new client's ping at `socketPath` is answered with the protocol version.
bool pingAnswered(const std::string& socketPath);

// smcctl with the given arguments against the daemon's socket.
Finished smcctl(const Daemon& daemon, std::vector<std::string> args, SpawnOptions options = {});

}  // namespace smcd::test
