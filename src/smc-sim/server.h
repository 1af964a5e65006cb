#pragma once

// The simulator's sockets: the AppleSMC user-client socket, which speaks the
// frames of platform/smc/smc_socket_wire.h, and the control socket, which
// speaks the line language of control_commands.h plus "drop", "clients" and "stall".
// One thread serves every connection of both.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/expected.h"
#include "common/unique_fd.h"
#include "platform/smc/linux/smc_socket_wire.h"
#include "smc-sim/machine.h"

namespace smcd::smcsim {

inline constexpr const char* kDefaultControlSocketPath = "/var/run/AppleSMC.control.socket";

struct ServerPaths {
    std::string socket = platform::kAppleSMCSocketPath;
    std::string control = kDefaultControlSocketPath;
};

enum class StartFailure {
    pathTooLong,
    pathOccupied,  // something other than a socket is there
    pathInUse,     // a live server already listens there
    socketFailed,
    bindFailed,
    listenFailed,
};

struct StartError {
    StartFailure failure;
    std::string path;
    int error = 0;  // errno where one applies
};

std::string describe(const StartError& error);

class Server {
public:
    static Expected<std::unique_ptr<Server>, StartError> start(Machine& machine, const ServerPaths& paths);
    // Closes every connection and removes the socket files it made.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves until `stopFd` becomes readable (or reports an error).
    void run(int stopFd);

    struct Listener {
        UniqueFd fd;
        std::string path;
        dev_t device = 0;
        ino_t inode = 0;
    };

private:
    struct Connection {
        UniqueFd fd;
        bool control = false;
        std::string input;
        std::string output;
    };

    Server(Machine& machine, Listener userClients, Listener control)
        : machine_(machine), userClients_(std::move(userClients)), control_(std::move(control)) {}

    void acceptAll(const Listener& listener, bool control);
    void receive(Connection& connection);
    void answerFrames(Connection& connection);
    void answerLines(Connection& connection);
    std::string serverCommand(std::string_view line);
    void flush(Connection& connection);

    Machine& machine_;
    Listener userClients_;
    Listener control_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::uint64_t acceptedUserClients_ = 0;
    // Struct calls still to be swallowed without an answer ("stall").
    std::uint64_t pendingStalls_ = 0;
};

}  // namespace smcd::smcsim
