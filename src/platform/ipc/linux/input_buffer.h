#pragma once

// Bytes that arrive a piece at a time, held in memory mapped for them alone.
// Address space for the most the holder expects is set aside first, with no
// memory behind it; pages are made usable only as bytes arrive, never ahead
// of them (a peer announcing 16 MiB and sending five bytes costs one page),
// and go back to the system the moment they are emptied, whatever the
// allocator would have kept for later: all but the first, which the next
// small frame fills without a system call.

#include <cstddef>
#include <string_view>

namespace smcd::platform::ipc {

class InputBuffer {
public:
    // `expected`: the most the holder means to keep at once; more still
    // fits, at the price of one copy.
    explicit InputBuffer(std::size_t expected) : expected_(expected) {}
    ~InputBuffer();
    InputBuffer(InputBuffer&& other) noexcept;
    InputBuffer& operator=(InputBuffer&& other) noexcept;
    InputBuffer(const InputBuffer&) = delete;
    InputBuffer& operator=(const InputBuffer&) = delete;

    // Throws std::bad_alloc when the system has no memory for them.
    void append(std::string_view bytes);
    // Forgets the first `count` bytes and gives back the pages that frees,
    // but the first.
    void dropFront(std::size_t count);

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Bytes of usable memory now: the size rounded up to whole pages.
    std::size_t mapped() const { return mapped_; }

private:
    void reserve(std::size_t bytes);
    void release();

    std::size_t expected_;
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
    std::size_t reserved_ = 0;
};

}  // namespace smcd::platform::ipc
