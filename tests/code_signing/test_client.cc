// A peer for the gate tests, built several times with different code
// identities. Usage:
//   test_client request <socket>           connect, send "ping", expect "pong"
//   test_client connect-and-exit <socket>  connect and exit at once
// Exit status: 0 served, 3 refused (the daemon hung up unanswered), 2 error.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

constexpr int kServed = 0;
constexpr int kError = 2;
constexpr int kRefused = 3;

int connectTo(const char* path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof(address.sun_path)) return -1;
    std::strcpy(address.sun_path, path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return -1;
    return fd;
}

int request(int fd) {
    constexpr std::string_view ping = "ping\n";
    if (::send(fd, ping.data(), ping.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ping.size())) {
        return errno == EPIPE || errno == ECONNRESET ? kRefused : kError;
    }
    // The gate test's server answers "pong\n" and then closes.
    char reply[16] = {};
    const ssize_t got = ::recv(fd, reply, sizeof(reply), MSG_WAITALL);
    if (got < 0) return errno == ECONNRESET ? kRefused : kError;
    if (got == 0) return kRefused;
    return std::string_view(reply, static_cast<std::size_t>(got)) == "pong\n" ? kServed : kError;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return kError;
    const std::string_view mode = argv[1];
    const int fd = connectTo(argv[2]);
    if (fd < 0) return kError;
    if (mode == "connect-and-exit") return kServed;
    const int status = mode == "request" ? request(fd) : kError;
    ::close(fd);
    return status;
}
