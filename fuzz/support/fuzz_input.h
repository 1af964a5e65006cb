#pragma once

// Small pieces every fuzz target needs: the input read a byte at a time, a
// count of open descriptors for the no-leak invariants, and a whole write.

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace smcd::fuzz {

// The fuzz input, one byte at a time; zeros once it runs out.
class ByteReader {
public:
    explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
    bool done() const { return bytes_.empty(); }
    std::uint8_t next() {
        if (bytes_.empty()) return 0;
        const auto byte = static_cast<std::uint8_t>(bytes_.front());
        bytes_.remove_prefix(1);
        return byte;
    }

private:
    std::string_view bytes_;
};

// Entries of /proc/self/fd, the listing's own descriptor and "." and ".."
// included: only ever compared with another count taken the same way.
inline std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* listing = ::opendir("/proc/self/fd")) {
        while (::readdir(listing) != nullptr) ++count;
        ::closedir(listing);
    }
    return count;
}

// Writes all of `bytes`; false on any failure or a write that makes no progress.
inline bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace smcd::fuzz
