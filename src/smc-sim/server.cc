#include "smc-sim/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "smc-sim/control_commands.h"

namespace smcd::smcsim {
namespace {

constexpr int kListenBacklog = 16;
constexpr std::size_t kLongestControlLine = 4096;

std::optional<sockaddr_un> addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// A socket file left by a simulator that died may be replaced; a live one,
// or anything that is not a socket, is left alone.
std::optional<StartFailure> clearStaleSocket(const std::string& path, const sockaddr_un& address) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) < 0) return std::nullopt;
    if (!S_ISSOCK(info.st_mode)) return StartFailure::pathOccupied;
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) return StartFailure::socketFailed;
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        return StartFailure::pathInUse;
    }
    if (errno == ECONNREFUSED) ::unlink(path.c_str());
    return std::nullopt;
}

Expected<Server::Listener, StartError> listenAt(const std::string& path) {
    const auto address = addressOf(path);
    // The socket is made under a temporary name and renamed into place once
    // it listens: whoever sees the path can connect at once.
    const std::string building = path + ".building-" + std::to_string(::getpid());
    const auto buildingAddress = addressOf(building);
    if (!address || !buildingAddress) return unexpected(StartError{StartFailure::pathTooLong, path, ENAMETOOLONG});
    if (const auto failure = clearStaleSocket(path, *address)) return unexpected(StartError{*failure, path, errno});
    if (const auto failure = clearStaleSocket(building, *buildingAddress)) {
        return unexpected(StartError{*failure, building, errno});
    }

    Server::Listener listener;
    listener.path = path;
    listener.fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener.fd) return unexpected(StartError{StartFailure::socketFailed, path, errno});
    // Only the owner may talk to the fake controller: the socket is made
    // with no access for anyone else, with no moment where it is open.
    const mode_t previous = ::umask(S_IRWXG | S_IRWXO | S_IXUSR);
    const int bound =
        ::bind(listener.fd.get(), reinterpret_cast<const sockaddr*>(&*buildingAddress), sizeof(*buildingAddress));
    const int bindError = errno;
    ::umask(previous);
    if (bound < 0) return unexpected(StartError{StartFailure::bindFailed, path, bindError});

    if (::listen(listener.fd.get(), kListenBacklog) < 0 || ::rename(building.c_str(), path.c_str()) < 0) {
        const int error = errno;
        ::unlink(building.c_str());
        return unexpected(StartError{StartFailure::listenFailed, path, error});
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        listener.device = info.st_dev;
        listener.inode = info.st_ino;
    }
    return listener;
}

void removeSocketFile(const Server::Listener& listener) {
    if (!listener.fd) return;
    struct stat info {};
    // Only our own socket: another simulator may have replaced it since.
    if (::lstat(listener.path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_dev == listener.device &&
        info.st_ino == listener.inode) {
        ::unlink(listener.path.c_str());
    }
}

}  // namespace

std::string describe(const StartError& error) {
    std::string what;
    switch (error.failure) {
        case StartFailure::pathTooLong: what = "socket path too long"; break;
        case StartFailure::pathOccupied: what = "path exists and is not a socket"; break;
        case StartFailure::pathInUse: what = "another simulator is listening"; break;
        case StartFailure::socketFailed: what = "cannot create a socket"; break;
        case StartFailure::bindFailed: what = "cannot bind"; break;
        case StartFailure::listenFailed: what = "cannot listen"; break;
    }
    std::string text = error.path + ": " + what;
    if (error.error != 0 && error.failure != StartFailure::pathInUse && error.failure != StartFailure::pathOccupied) {
        text += std::string(" (") + std::strerror(error.error) + ")";
    }
    return text;
}

Expected<std::unique_ptr<Server>, StartError> Server::start(Machine& machine, const ServerPaths& paths) {
    auto userClients = listenAt(paths.socket);
    if (!userClients) return unexpected(std::move(userClients).error());
    auto control = listenAt(paths.control);
    if (!control) {
        removeSocketFile(*userClients);
        return unexpected(std::move(control).error());
    }
    return std::unique_ptr<Server>(new Server(machine, std::move(*userClients), std::move(*control)));
}

Server::~Server() {
    connections_.clear();
    removeSocketFile(userClients_);
    removeSocketFile(control_);
}

void Server::run(int stopFd) {
    for (;;) {
        std::vector<pollfd> watched;
        watched.push_back({stopFd, POLLIN, 0});
        watched.push_back({userClients_.fd.get(), POLLIN, 0});
        watched.push_back({control_.fd.get(), POLLIN, 0});
        for (const auto& connection : connections_) {
            const short events = static_cast<short>(POLLIN | (connection->output.empty() ? 0 : POLLOUT));
            watched.push_back({connection->fd.get(), events, 0});
        }
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[0].revents != 0) return;

        // Only the connections polled above are looked at: accepting below
        // appends new ones that have no poll result yet.
        const std::size_t polled = connections_.size();
        for (std::size_t i = 0; i < polled; ++i) {
            Connection& connection = *connections_[i];
            const short events = watched[3 + i].revents;
            if (connection.fd && (events & (POLLIN | POLLHUP | POLLERR))) receive(connection);
            if (connection.fd && (events & POLLOUT)) flush(connection);
        }
        if (watched[1].revents & POLLIN) acceptAll(userClients_, false);
        if (watched[2].revents & POLLIN) acceptAll(control_, true);
        std::erase_if(connections_, [](const auto& connection) { return !connection->fd; });
    }
}

void Server::acceptAll(const Listener& listener, bool control) {
    for (;;) {
        UniqueFd fd(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) return;  // EAGAIN once the queue is empty; errors leave the listener as is
        auto connection = std::make_unique<Connection>();
        connection->fd = std::move(fd);
        connection->control = control;
        if (!control) ++acceptedUserClients_;
        connections_.push_back(std::move(connection));
    }
}

void Server::receive(Connection& connection) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(connection.fd.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got <= 0) {
            connection.fd.reset();
            return;
        }
        connection.input.append(buffer, static_cast<std::size_t>(got));
    }
    if (connection.control) {
        answerLines(connection);
    } else {
        answerFrames(connection);
    }
    if (connection.fd) flush(connection);
}

void Server::answerFrames(Connection& connection) {
    while (connection.input.size() >= platform::kSMCFrameSize) {
        const auto* frame = reinterpret_cast<const std::uint8_t*>(connection.input.data());
        const std::uint32_t selector = platform::loadLittleEndian32(std::span<const std::uint8_t, 4>(frame, 4));
        platform::SMCStructBytes block{};
        std::memcpy(block.data(), frame + platform::kSMCFrameHeaderSize, platform::kSMCStructSize);
        connection.input.erase(0, platform::kSMCFrameSize);
        if (pendingStalls_ > 0) {
            // A controller that hangs: the call is taken and never answered.
            --pendingStalls_;
            continue;
        }

        platform::IOReturn code = platform::IOReturn::badArgument;
        platform::SMCStructBytes answer{};
        if (selector == platform::kSMCStructSelector) {
            answer = machine_.handle(block);
            code = platform::IOReturn::success;
        }
        std::array<std::uint8_t, platform::kSMCFrameSize> reply{};
        platform::storeLittleEndian32(std::span<std::uint8_t, 4>(reply.data(), 4), static_cast<std::uint32_t>(code));
        std::memcpy(reply.data() + platform::kSMCFrameHeaderSize, answer.data(), platform::kSMCStructSize);
        connection.output.append(reinterpret_cast<const char*>(reply.data()), reply.size());
    }
}

void Server::answerLines(Connection& connection) {
    for (;;) {
        const auto end = connection.input.find('\n');
        // A line is bounded, so a client cannot make the buffer grow for ever.
        if (std::min(end, connection.input.size()) > kLongestControlLine) {
            connection.fd.reset();
            return;
        }
        if (end == std::string::npos) return;
        std::string line = connection.input.substr(0, end);
        connection.input.erase(0, end + 1);
        const std::string answer = serverCommand(line);
        connection.output += (answer.empty() ? runControlCommand(machine_, line) : answer) + "\n";
    }
}

std::string Server::serverCommand(std::string_view line) {
    const auto words = splitWords(line);
    if (words.size() != 1) return {};
    if (words[0] == "drop") {
        std::size_t dropped = 0;
        for (auto& connection : connections_) {
            if (!connection->control && connection->fd) {
                connection->fd.reset();
                ++dropped;
            }
        }
        return "ok " + std::to_string(dropped);
    }
    if (words[0] == "stall") {
        ++pendingStalls_;
        return "ok";
    }
    if (words[0] == "clients") {
        std::size_t open = 0;
        for (const auto& connection : connections_) open += !connection->control && connection->fd ? 1 : 0;
        return "ok " + std::to_string(open) + " " + std::to_string(acceptedUserClients_);
    }
    return {};
}

void Server::flush(Connection& connection) {
    while (!connection.output.empty()) {
        const ssize_t sent =
            ::send(connection.fd.get(), connection.output.data(), connection.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (sent <= 0) {
            connection.fd.reset();
            return;
        }
        connection.output.erase(0, static_cast<std::size_t>(sent));
    }
}

}  // namespace smcd::smcsim
