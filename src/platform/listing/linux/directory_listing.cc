// readdir through a duplicate of the directory's descriptor (so that the
// caller's descriptor stays free of the stream), resumed with seekdir; the
// type from the directory read spares a status call for everything but
// regular files, whose size is needed, and file systems that do not say.

#include "platform/listing/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string_view>

#include "common/unique_dir.h"
#include "common/unique_fd.h"

namespace smcd::platform {
namespace {

constexpr std::int64_t kBlockSize = 512;  // st_blocks counts these, whatever the file system's block

std::int64_t allocatedBytes(blkcnt_t blocks) {
    std::int64_t bytes = 0;
    if (blocks < 0 || __builtin_mul_overflow(static_cast<std::int64_t>(blocks), kBlockSize, &bytes)) {
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
bool examine(int directory, dev_t device, ListedEntry& entry) {
    struct stat info{};
    if (::fstatat(directory, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(info.st_mode)) {
        entry.kind = EntryKind::directory;
    } else if (!S_ISREG(info.st_mode)) {
        entry.kind = EntryKind::other;
    } else if (info.st_dev != device) {
        entry.kind = EntryKind::otherMount;
    } else {
        entry.kind = EntryKind::regularFile;
        entry.allocatedBytes = allocatedBytes(info.st_blocks);
    }
    return true;
}

}  // namespace

int listEntries(int directory, dev_t device, ListingDetail detail, ListingCursor& cursor,
                const std::function<bool(ListedEntry&&)>& take) {
    UniqueFd copy(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    if (!copy) return errno;
    UniqueDir stream(::fdopendir(copy.get()));
    if (!stream) return errno;
    copy.release();  // the stream owns it now
    ::seekdir(stream.get(), cursor.position);
    // readdir says "no more" and "failed" alike, apart only by errno.
    for (errno = 0; const dirent* read = ::readdir(stream.get()); errno = 0) {
        const std::string_view name = read->d_name;
        if (name == "." || name == "..") continue;
        ListedEntry entry{std::string(name), kindOfType(read->d_type), 0};
        const bool needsExamining = entry.kind == EntryKind::regularFile || entry.kind == EntryKind::unknown;
        if (detail == ListingDetail::kindsAndSizes && needsExamining && !examine(directory, device, entry)) continue;
        if (!take(std::move(entry))) {
            cursor.position = ::telldir(stream.get());
            return 0;
        }
    }
    // A directory that could not be read to its end is never taken for one
    // that was: its caller sees the error, not an end.
    if (errno != 0) return errno;
    cursor.atEnd = true;
    return 0;
}

}  // namespace smcd::platform
