#pragma once

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace smcd::test {

// A line-at-a-time client of the simulator's control socket.
class ControlClient {
public:
    explicit ControlClient(const std::string& path);
    bool connected() const { return socket_.valid(); }
    // The reply line without its newline; "" when the simulator is gone.
    std::string command(const std::string& line);

private:
    UniqueFd socket_;
};

// A running smc-sim. Started with --ready-fd, so the constructor returns
// once both sockets listen; stopped by stop() or the destructor (SIGKILL).
class SimProcess {
public:
    SimProcess(const std::string& socketPath, const std::string& controlPath, std::vector<std::string> extraArguments = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ready() const { return ready_; }
    // Sends `signal` and waits; the exit status, or nothing if it did not exit normally.
    std::optional<int> stop(int signal = SIGTERM);
    // Sends one control command on a fresh connection.
    std::string command(const std::string& line) const;

private:
    std::string controlPath_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Runs smc-sim with `arguments` to the end; its exit status and standard output.
struct FinishedRun {
    int status = -1;
    std::string output;
};
FinishedRun runSimToCompletion(const std::vector<std::string>& arguments);

}  // namespace smcd::test
