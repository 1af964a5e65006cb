#include "support/sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace smcd::test {
namespace {

std::vector<char*> argumentVector(std::vector<std::string>& arguments) {
    std::vector<char*> vector;
    for (auto& argument : arguments) vector.push_back(argument.data());
    vector.push_back(nullptr);
    return vector;
}

std::string readToEnd(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<int> waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

// In the child, between fork and exec: `from` becomes descriptor `to`.
void moveDescriptor(int from, int to) {
    if (from == to) {
        ::fcntl(to, F_SETFD, 0);
    } else {
        ::dup2(from, to);
    }
}

}  // namespace

std::string simBinary() { return std::string(SMCD_BINARY_DIR) + "/smc-sim"; }

ControlClient::ControlClient(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) return;
    socket_ = std::move(fd);
}

std::string ControlClient::command(const std::string& line) {
    if (!socket_) return {};
    const std::string request = line + "\n";
    if (::send(socket_.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return {};
    }
    for (;;) {
        const auto end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string reply = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return reply;
        }
        char buffer[512];
        const ssize_t got = ::recv(socket_.get(), buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return {};
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

SimProcess::SimProcess(const std::string& socketPath, const std::string& controlPath,
                       std::vector<std::string> extraArguments)
    : controlPath_(controlPath) {
    int readyPipe[2];
    if (::pipe2(readyPipe, O_CLOEXEC) < 0) return;
    UniqueFd readEnd(readyPipe[0]);
    UniqueFd writeEnd(readyPipe[1]);

    std::vector<std::string> arguments = {simBinary(), "--socket", socketPath, "--control", controlPath,
                                          "--ready-fd", "3"};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    auto argv = argumentVector(arguments);

    pid_ = ::fork();
    if (pid_ < 0) return;
    if (pid_ == 0) {
        moveDescriptor(writeEnd.get(), 3);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    writeEnd.reset();
    ready_ = readToEnd(readEnd.get()) == "ready\n";
}

SimProcess::~SimProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitForExit(pid_);
}

std::optional<int> SimProcess::stop() {
    if (pid_ <= 0) return std::nullopt;
    ::kill(pid_, SIGTERM);
    const auto status = waitForExit(pid_);
    pid_ = -1;
    return status;
}

std::string SimProcess::command(const std::string& line) const { return control().command(line); }

FinishedRun runSimToCompletion(const std::vector<std::string>& arguments) {
    int outputPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) < 0) return {};
    UniqueFd readEnd(outputPipe[0]);
    UniqueFd writeEnd(outputPipe[1]);
    std::vector<std::string> all = {simBinary()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    auto argv = argumentVector(all);

    const pid_t pid = ::fork();
    if (pid < 0) return {};
    if (pid == 0) {
        moveDescriptor(writeEnd.get(), STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    writeEnd.reset();
    FinishedRun run;
    run.output = readToEnd(readEnd.get());
    run.status = waitForExit(pid).value_or(-1);
    return run;
}

}  // namespace smcd::test
