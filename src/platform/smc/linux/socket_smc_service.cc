#include "platform/smc/linux/socket_smc_service.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "platform/smc/linux/smc_socket_wire.h"

namespace smcd::platform {
namespace {

// Connected with the answer time-out in place, or nothing.
UniqueFd connectTo(const std::string& path, std::chrono::milliseconds answerTimeout) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return UniqueFd();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return UniqueFd();

    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(answerTimeout);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(answerTimeout - seconds);
    const timeval timeout{.tv_sec = static_cast<time_t>(seconds.count()),
                          .tv_usec = static_cast<suseconds_t>(micros.count())};
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0 ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) < 0) {
        return UniqueFd();
    }
    return fd;
}

// How one frame exchange on an open connection ended.
enum class Exchange { done, closed, failed };

// A peer that closed or reset the connection before any byte of the answer
// came back: nothing it answered is lost, so the call may be sent anew.
bool closedByPeer(int error) { return error == EPIPE || error == ECONNRESET; }

Exchange sendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return sent < 0 && closedByPeer(errno) ? Exchange::closed : Exchange::failed;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return Exchange::done;
}

Exchange receiveAll(int fd, std::uint8_t* data, std::size_t size) {
    const std::size_t expected = size;
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0 || (got < 0 && closedByPeer(errno))) {
            return size == expected ? Exchange::closed : Exchange::failed;
        }
        if (got < 0) return Exchange::failed;  // a time-out among them
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return Exchange::done;
}

}  // namespace

IOReturn SocketSMCUserClient::callStructMethod(std::uint32_t selector, const SMCStructBytes& input,
                                               SMCStructBytes& output) {
    std::array<std::uint8_t, kSMCFrameSize> request{};
    storeLittleEndian32(std::span<std::uint8_t, 4>(request.data(), 4), selector);
    std::memcpy(request.data() + kSMCFrameHeaderSize, input.data(), kSMCStructSize);

    std::array<std::uint8_t, kSMCFrameSize> answer{};
    Exchange exchange = Exchange::closed;
    // A connection found closed is replaced once: the call then goes to the
    // service as it is now. A stall or a broken frame fails this call alone.
    for (int attempt = 0; attempt < 2 && exchange == Exchange::closed; ++attempt) {
        if (!socket_) socket_ = connectTo(path_, answerTimeout_);
        if (!socket_) return IOReturn::notOpen;
        exchange = sendAll(socket_.get(), request.data(), request.size());
        if (exchange == Exchange::done) exchange = receiveAll(socket_.get(), answer.data(), answer.size());
        // A frame may be half sent or half read: the stream can no longer be
        // trusted to line requests up with answers, so the next call connects anew.
        if (exchange != Exchange::done) socket_.reset();
    }
    if (exchange != Exchange::done) return IOReturn::notOpen;

    const auto code = static_cast<IOReturn>(
        loadLittleEndian32(std::span<const std::uint8_t, 4>(answer.data(), 4)));
    if (code == IOReturn::success) {
        std::memcpy(output.data(), answer.data() + kSMCFrameHeaderSize, kSMCStructSize);
    }
    return code;
}

std::unique_ptr<SMCUserClient> SocketSMCService::open() {
    UniqueFd fd = connectTo(path_, answerTimeout_);
    if (!fd) return nullptr;
    return std::make_unique<SocketSMCUserClient>(std::move(fd), path_, answerTimeout_);
}

std::unique_ptr<SMCService> matchingSocketService(const std::string& path, std::chrono::milliseconds answerTimeout) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) < 0 || !S_ISSOCK(info.st_mode)) return nullptr;
    return std::make_unique<SocketSMCService>(path, answerTimeout);
}

std::unique_ptr<SMCService> matchingAppleSMCService() { return matchingSocketService(kAppleSMCSocketPath); }

// The socket file's device and inode: a simulator started again is another
// controller, and one in another mount namespace (a test sandbox) another still.
std::string appleSMCIdentity() {
    struct stat info {};
    if (::lstat(kAppleSMCSocketPath, &info) < 0 || !S_ISSOCK(info.st_mode)) return {};
    return std::to_string(info.st_dev) + "." + std::to_string(info.st_ino);
}

}  // namespace smcd::platform
