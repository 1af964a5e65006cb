#include "support/unix_socket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>

namespace smcd::test {
namespace {

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) throw std::runtime_error("socket path too long: " + path);
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

}  // namespace

UniqueFd listenAt(const std::string& path) {
    const sockaddr_un address = addressOf(path);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0)
        throw std::runtime_error("cannot listen at " + path);
    return fd;
}

UniqueFd connectTo(const std::string& path) {
    const sockaddr_un address = addressOf(path);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return UniqueFd();
    return fd;
}

}  // namespace smcd::test
