// getdents64 straight on the walk's own descriptor, resumed with lseek: no
// duplicate descriptor and no directory stream. A level is opened with
// openat2 and RESOLVE_NO_XDEV, which refuses the root of a mount (a bind
// mount of the same file system too) in the open itself, so that a level
// costs an open, its reads and a close: fewer calls than du(1) makes. The
// type from the directory read spares a status call for everything but
// regular files, whose size is needed, and file systems that do not say;
// that one call is a statx, which also says whether the entry is the root
// of a mount (a file bind-mounted over one of the tree's).

#include "platform/listing/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>

#include "platform/listing/linux/directory_reads.h"

namespace smcd::platform {
namespace {

constexpr std::int64_t kBlockSize = 512;  // stx_blocks counts these, whatever the file system's block
// As glibc's readdir reads: large enough for a directory of a few hundred
// entries in one call, small enough for any thread's stack.
constexpr std::size_t kReadBytes = 32 * 1024;

std::int64_t allocatedBytes(std::uint64_t blocks) {
    std::int64_t bytes = 0;
    if (blocks > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        __builtin_mul_overflow(static_cast<std::int64_t>(blocks), kBlockSize, &bytes)) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return bytes;
}

EntryKind kindOfType(unsigned char type) {
    switch (type) {
        case DT_DIR: return EntryKind::directory;
        case DT_REG: return EntryKind::regularFile;
        case DT_UNKNOWN: return EntryKind::unknown;
        default: return EntryKind::other;
    }
}

// Fills in what the directory read left out; false when the entry is gone
// or cannot be examined.
bool examine(int directory, ListedEntry& entry) {
    struct statx info{};
    if (::statx(directory, entry.name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_BLOCKS,
                &info) != 0) {
        return false;
    }
    const bool mountRoot = (info.stx_attributes & info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
    if (mountRoot) {
        entry.kind = EntryKind::otherMount;
    } else if (S_ISDIR(info.stx_mode)) {
        entry.kind = EntryKind::directory;
    } else if (!S_ISREG(info.stx_mode)) {
        entry.kind = EntryKind::other;
    } else {
        entry.kind = EntryKind::regularFile;
        entry.allocatedBytes = allocatedBytes(info.stx_blocks);
    }
    return true;
}

ssize_t systemRead(int directory, void* buffer, std::size_t size) { return ::getdents64(directory, buffer, size); }

}  // namespace

namespace linux_side {

int listEntriesReading(DirectoryRead read, int directory, ListingDetail detail, ListingCursor& cursor,
                       std::size_t room, std::vector<ListedEntry>& into, std::size_t& cost) {
    cost = 0;
    if (room < kLargestListedCost) return ENOMEM;
    // A listing that goes on is put back where its last batch stopped, which
    // that batch's reads have left behind (a level found again has a fresh
    // descriptor, at its start).
    if (cursor.resumed && ::lseek(directory, cursor.position, SEEK_SET) < 0) return errno;
    alignas(dirent64) char buffer[kReadBytes];
    while (true) {
        const ssize_t filled = read(directory, buffer, sizeof buffer);
        // A directory that could not be read to its end is never taken for
        // one that was: its caller sees the error, not an end.
        if (filled < 0) return errno;
        if (filled == 0) {
            cursor.atEnd = true;
            return 0;
        }
        for (std::size_t offset = 0; offset < static_cast<std::size_t>(filled);) {
            const auto* record = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += record->d_reclen;
            const std::string_view name = record->d_name;
            if (name == "." || name == "..") {
                cursor.position = record->d_off;
                continue;
            }
            ListedEntry entry{std::string(name), kindOfType(record->d_type), 0};
            const std::size_t entryCost = listedCost(entry);
            if (cost + entryCost > room) {
                cursor.resumed = true;  // the next batch begins with this entry
                return 0;
            }
            cursor.position = record->d_off;
            const bool needsExamining = entry.kind == EntryKind::regularFile || entry.kind == EntryKind::unknown;
            if (detail == ListingDetail::kindsAndSizes && needsExamining && !examine(directory, entry)) continue;
            cost += entryCost;
            into.push_back(std::move(entry));
        }
    }
}

}  // namespace linux_side

int listEntries(int directory, ListingDetail detail, ListingCursor& cursor, std::size_t room,
                std::vector<ListedEntry>& into, std::size_t& cost) {
    return linux_side::listEntriesReading(systemRead, directory, detail, cursor, room, into, cost);
}

int openDirectoryWithin(int parent, const char* name) {
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_XDEV;
    return static_cast<int>(::syscall(SYS_openat2, parent, name, &how, sizeof how));
}

}  // namespace smcd::platform
