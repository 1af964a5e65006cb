#include "platform/ipc/linux/endpoint.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace smcd::platform::ipc {
namespace {

constexpr int kFirstActivatedDescriptor = 3;  // SD_LISTEN_FDS_START
constexpr mode_t kSocketMode = 0666;
constexpr int kPublishAttempts = 3;

std::optional<sockaddr_un> unixAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return std::nullopt;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

int intOption(int fd, int level, int name) {
    int value = 0;
    socklen_t length = sizeof(value);
    if (::getsockopt(fd, level, name, &value, &length) != 0) return -1;
    return value;
}

std::optional<Expected<UniqueFd, EndpointFailure>> activatedEndpoint() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (!pid || !fds) return std::nullopt;
    char* end = nullptr;
    const long listenPid = std::strtol(pid, &end, 10);
    if (*end != '\0' || listenPid != ::getpid()) return std::nullopt;  // meant for another process
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    const int fd = kFirstActivatedDescriptor;
    if (std::strcmp(fds, "1") != 0 || intOption(fd, SOL_SOCKET, SO_DOMAIN) != AF_UNIX ||
        intOption(fd, SOL_SOCKET, SO_TYPE) != SOCK_STREAM || intOption(fd, SOL_SOCKET, SO_ACCEPTCONN) != 1) {
        return unexpected(EndpointFailure{EndpointError::activationInvalid, 0});
    }
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        return unexpected(EndpointFailure{EndpointError::activationInvalid, errno});
    }
    return UniqueFd(fd);
}

// Whether a daemon is accepting connections at `address` right now.
bool someoneAnswers(const sockaddr_un& address, int& error) {
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) {
        error = errno;
        return true;  // cannot tell: never remove what may be in use
    }
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return true;
    error = errno;
    return error != ECONNREFUSED;
}

}  // namespace

std::string_view describe(EndpointError error) {
    switch (error) {
        case EndpointError::activationInvalid: return "the activated descriptor is not one listening Unix stream socket";
        case EndpointError::socketFailed: return "cannot create a socket";
        case EndpointError::bindFailed: return "cannot bind the socket";
        case EndpointError::pathOccupied: return "something other than a socket occupies the socket path";
        case EndpointError::alreadyServed: return "another daemon is serving the socket path";
    }
    return "unknown";
}

std::string serviceEndpoint(std::string_view serviceName) {
    return "/var/run/" + std::string(serviceName) + ".socket";
}

Expected<UniqueFd, EndpointFailure> openListeningEndpoint(const std::string& path) {
    if (auto activated = activatedEndpoint()) return std::move(*activated);

    const auto finalAddress = unixAddress(path);
    const std::string::size_type slash = path.rfind('/');
    const std::string temporary =
        path.substr(0, slash + 1) + "." + path.substr(slash + 1) + "." + std::to_string(::getpid());
    const auto temporaryAddress = unixAddress(temporary);
    if (!finalAddress || !temporaryAddress) return unexpected(EndpointFailure{EndpointError::bindFailed, ENAMETOOLONG});

    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return unexpected(EndpointFailure{EndpointError::socketFailed, errno});

    // The socket is born under a private name with no access for anyone but
    // root, gets its final mode, and only then appears at the public path.
    struct stat st {};
    if (::lstat(temporary.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(temporary.c_str());
    const mode_t previousMask = ::umask(0177);
    const int bound = ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&*temporaryAddress), sizeof(*temporaryAddress));
    const int bindError = errno;
    ::umask(previousMask);
    if (bound != 0) return unexpected(EndpointFailure{EndpointError::bindFailed, bindError});

    auto fail = [&](EndpointError error, int errnoValue) {
        ::unlink(temporary.c_str());
        return unexpected(EndpointFailure{error, errnoValue});
    };
    if (::fchmodat(AT_FDCWD, temporary.c_str(), kSocketMode, 0) != 0) return fail(EndpointError::bindFailed, errno);
    if (::listen(socket.get(), SOMAXCONN) != 0) return fail(EndpointError::bindFailed, errno);

    for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
        // link() never replaces and never follows a link at the destination.
        if (::link(temporary.c_str(), path.c_str()) == 0) {
            ::unlink(temporary.c_str());
            return socket;
        }
        if (errno != EEXIST) return fail(EndpointError::bindFailed, errno);
        if (::lstat(path.c_str(), &st) != 0) continue;  // vanished meanwhile: try again
        if (!S_ISSOCK(st.st_mode)) return fail(EndpointError::pathOccupied, EEXIST);
        int probeError = 0;
        if (someoneAnswers(*finalAddress, probeError)) return fail(EndpointError::alreadyServed, probeError);
        ::unlink(path.c_str());  // a stale socket of a daemon that is gone
    }
    return fail(EndpointError::bindFailed, EEXIST);
}

}  // namespace smcd::platform::ipc
