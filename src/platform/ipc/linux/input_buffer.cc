#include "platform/ipc/linux/input_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace smcd::platform::ipc {
namespace {

std::size_t wholePages(std::size_t bytes) {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

// Address space alone: no memory, nothing charged against the system's commit.
char* reserveAddresses(std::size_t bytes) {
    void* at = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at == MAP_FAILED) throw std::bad_alloc();
    return static_cast<char*>(at);
}

}  // namespace

InputBuffer::~InputBuffer() { release(); }

InputBuffer::InputBuffer(InputBuffer&& other) noexcept { *this = std::move(other); }

InputBuffer& InputBuffer::operator=(InputBuffer&& other) noexcept {
    if (this != &other) {
        release();
        expected_ = other.expected_;
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
        reserved_ = std::exchange(other.reserved_, 0);
    }
    return *this;
}

void InputBuffer::release() {
    if (data_) ::munmap(data_, reserved_);
    data_ = nullptr;
    size_ = mapped_ = reserved_ = 0;
}

// Once more than the reservation is needed: a larger one, and the bytes
// copied over.
void InputBuffer::reserve(std::size_t bytes) {
    const std::size_t reservation = wholePages(std::max({bytes, expected_, 2 * reserved_}));
    char* fresh = reserveAddresses(reservation);
    const std::size_t usable = wholePages(size_);
    if (usable > 0 && ::mprotect(fresh, usable, PROT_READ | PROT_WRITE) != 0) {
        ::munmap(fresh, reservation);
        throw std::bad_alloc();
    }
    if (size_ > 0) std::memcpy(fresh, data_, size_);
    const std::size_t size = size_;
    release();
    data_ = fresh;
    size_ = size;
    mapped_ = usable;
    reserved_ = reservation;
}

void InputBuffer::append(std::string_view bytes) {
    if (bytes.empty()) return;
    const std::size_t needed = wholePages(size_ + bytes.size());
    if (needed > reserved_) reserve(needed);
    if (needed > mapped_) {
        if (::mprotect(data_ + mapped_, needed - mapped_, PROT_READ | PROT_WRITE) != 0) throw std::bad_alloc();
        mapped_ = needed;
    }
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
}

void InputBuffer::dropFront(std::size_t count) {
    if (!data_) return;
    count = std::min(count, size_);
    std::memmove(data_, data_ + count, size_ - count);
    size_ -= count;
    // The first page stays, and the reservation with it: mapping and
    // unmapping them for every frame would cost a small request more
    // system calls, and a flush of every core's address cache, than
    // serving it.
    const std::size_t kept = std::max(wholePages(size_), wholePages(1));
    if (kept >= mapped_) return;
    // Mapped afresh as reserved addresses: the pages and their charge go.
    if (::mmap(data_ + kept, mapped_ - kept, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1,
               0) != MAP_FAILED)
        mapped_ = kept;
}

}  // namespace smcd::platform::ipc
