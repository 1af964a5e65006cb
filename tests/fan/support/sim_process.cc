#include "support/sim_process.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/unique_fd.h"
#include "support/daemon.h"

namespace smcd::test {

SimProcess::SimProcess(const std::string& socketPath, const std::string& controlPath,
                       std::vector<std::string> extraArguments)
    : controlPath_(controlPath) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    std::vector<std::string> arguments = {std::string(SMCD_BINARY_DIR) + "/smc-sim", "--socket", socketPath,
                                          "--control", controlPath, "--ready-fd", "3"};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    SpawnOptions options;
    options.descriptorThree = writeEnd.get();
    process_ = std::make_unique<ChildProcess>(std::move(arguments), options);
    writeEnd.reset();  // end of file once the simulator has written and closed its copy
    std::string said;
    char buffer[64];
    for (ssize_t got; (got = ::read(readEnd.get(), buffer, sizeof(buffer))) != 0;) {
        if (got < 0 && errno != EINTR) break;
        if (got > 0) said.append(buffer, static_cast<std::size_t>(got));
    }
    ready_ = said == "ready\n";
}

std::string SimProcess::command(const std::string& line) const {
    const UniqueFd socket = connectTo(controlPath_);
    const std::string request = line + "\n";
    if (!socket || ::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return {};
    std::string reply;
    for (char byte;;) {
        const ssize_t got = ::recv(socket.get(), &byte, 1, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return {};
        if (byte == '\n') return reply;
        reply += byte;
    }
}

}  // namespace smcd::test
