#include "support/sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace smcd::test {
namespace {

std::string readToEnd(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof(buffer))) != 0;) {
        if (got < 0 && errno != EINTR) break;
        if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

std::optional<int> waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

std::string simBinary() { return std::string(SMCD_BINARY_DIR) + "/smc-sim"; }

// Runs smc-sim with `arguments`, the write end of a new pipe as descriptor
// `target`; the read end, which sees end of file once the child closes it.
UniqueFd spawn(std::vector<std::string> arguments, int target, pid_t& pid) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) < 0) return {};
    UniqueFd readEnd(pipe[0]), writeEnd(pipe[1]);
    arguments.insert(arguments.begin(), simBinary());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid = ::fork();
    if (pid == 0) {
        // dup2 onto itself would keep close-on-exec: clear it instead.
        if (writeEnd.get() == target) ::fcntl(target, F_SETFD, 0); else ::dup2(writeEnd.get(), target);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid < 0 ? UniqueFd() : std::move(readEnd);
}

}  // namespace

ControlClient::ControlClient(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        socket_ = std::move(fd);
    }
}

std::string ControlClient::command(const std::string& line) {
    const std::string request = line + "\n";
    if (!socket_ || ::send(socket_.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return {};
    }
    // One byte at a time, so that nothing after the reply's newline is taken.
    std::string reply;
    for (char byte; ;) {
        const ssize_t got = ::recv(socket_.get(), &byte, 1, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return {};
        if (byte == '\n') return reply;
        reply += byte;
    }
}

SimProcess::SimProcess(const std::string& socketPath, const std::string& controlPath,
                       std::vector<std::string> extraArguments)
    : controlPath_(controlPath) {
    std::vector<std::string> arguments = {"--socket", socketPath, "--control", controlPath, "--ready-fd", "3"};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    const auto readyPipe = spawn(std::move(arguments), 3, pid_);
    ready_ = readyPipe && readToEnd(readyPipe.get()) == "ready\n";
}

SimProcess::~SimProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitForExit(pid_);
}

std::optional<int> SimProcess::stop(int signal) {
    if (pid_ <= 0) return std::nullopt;
    ::kill(pid_, signal);
    return waitForExit(std::exchange(pid_, -1));
}

std::string SimProcess::command(const std::string& line) const { return ControlClient(controlPath_).command(line); }

FinishedRun runSimToCompletion(const std::vector<std::string>& arguments) {
    pid_t pid = -1;
    const auto output = spawn(arguments, STDOUT_FILENO, pid);
    if (!output) return {};
    FinishedRun run{-1, readToEnd(output.get())};
    run.status = waitForExit(pid).value_or(-1);
    return run;
}

}  // namespace smcd::test
