// A peer for the gate tests, built several times with different code
// identities. Usage:
//   test_client stay <socket>  connect and stay until the other end hangs up
//   test_client exit <socket>  connect and exit at once
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "support/unix_socket.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const smcd::UniqueFd socket = smcd::test::connectTo(argv[2]);
    if (!socket) return 2;
    char byte = 0;
    while (std::string_view(argv[1]) == "stay" && (::read(socket.get(), &byte, 1) > 0 || errno == EINTR)) {
    }
    return 0;
}
