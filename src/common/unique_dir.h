#pragma once

#include <dirent.h>

#include <utility>

namespace smcd {

// Sole owner of one directory stream (and so of the descriptor inside it).
class UniqueDir {
public:
    UniqueDir() noexcept = default;
    explicit UniqueDir(DIR* dir) noexcept : dir_(dir) {}
    UniqueDir(UniqueDir&& other) noexcept : dir_(other.release()) {}
    UniqueDir& operator=(UniqueDir&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueDir(const UniqueDir&) = delete;
    UniqueDir& operator=(const UniqueDir&) = delete;
    ~UniqueDir() { reset(); }

    DIR* get() const noexcept { return dir_; }
    explicit operator bool() const noexcept { return dir_ != nullptr; }
    int fd() const noexcept { return dir_ ? ::dirfd(dir_) : -1; }

    DIR* release() noexcept { return std::exchange(dir_, nullptr); }
    void reset(DIR* dir = nullptr) noexcept {
        DIR* old = std::exchange(dir_, dir);
        if (old) ::closedir(old);
    }

private:
    DIR* dir_ = nullptr;
};

}  // namespace smcd
