// A peer for the gate tests, built several times with different code
// identities. Usage:
//   test_client stay <socket>  connect and stay until the other end hangs up
//   test_client exit <socket>  connect and exit at once
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

int main(int argc, char** argv) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (argc != 3 || std::strlen(argv[2]) >= sizeof(address.sun_path)) return 2;
    std::strcpy(address.sun_path, argv[2]);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return 2;
    char byte = 0;
    while (std::string_view(argv[1]) == "stay" && (::read(fd, &byte, 1) > 0 || errno == EINTR)) {
    }
    return 0;
}
