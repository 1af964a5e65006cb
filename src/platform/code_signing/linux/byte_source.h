#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace smcd::platform {

// Random-access reads from an untrusted image of known size. The ELF reader
// works through this so that it reads only the few ranges it needs from a
// file (never mapping or slurping an attacker-sized executable) and so that
// the same code runs over in-memory images.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Fills `out` from `offset`; false when the range is not wholly inside the
    // image or the read fails.
    virtual bool readExactly(std::uint64_t offset, std::span<std::byte> out) const = 0;
};

// Reads through a descriptor the caller keeps open, with pread, so the file
// offset of a shared descriptor is never disturbed.
class DescriptorByteSource final : public ByteSource {
public:
    DescriptorByteSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    std::uint64_t size() const override { return size_; }
    bool readExactly(std::uint64_t offset, std::span<std::byte> out) const override;

private:
    int fd_;
    std::uint64_t size_;
};

class MemoryByteSource final : public ByteSource {
public:
    explicit MemoryByteSource(std::span<const std::byte> bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool readExactly(std::uint64_t offset, std::span<std::byte> out) const override;

private:
    std::span<const std::byte> bytes_;
};

}  // namespace smcd::platform
