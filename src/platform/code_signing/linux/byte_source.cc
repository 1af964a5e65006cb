#include "platform/code_signing/linux/byte_source.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace smcd::platform {
namespace {

bool rangeInside(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

}  // namespace

bool DescriptorByteSource::readExactly(std::uint64_t offset, std::span<std::byte> out) const {
    if (!rangeInside(offset, out.size(), size_)) return false;
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - out.size()) return false;
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        // A short file (truncated since it was measured) is as bad as an error.
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool MemoryByteSource::readExactly(std::uint64_t offset, std::span<std::byte> out) const {
    if (!rangeInside(offset, out.size(), bytes_.size())) return false;
    if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return true;
}

}  // namespace smcd::platform
