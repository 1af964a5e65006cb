#pragma once

#include <unistd.h>

#include <utility>

namespace smcd {

// Sole owner of one file descriptor; closes it on every path out of scope.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        // The result of close is deliberately ignored: the descriptor is gone
        // either way, and retrying after EINTR could close a reused number.
        if (old >= 0) ::close(old);
    }

private:
    int fd_ = -1;
};

}  // namespace smcd
