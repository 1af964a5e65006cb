#include "platform/trash/linux/freedesktop_trash.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <ctime>
#include <vector>

#include "walk/directory_walk.h"
#include "common/io.h"
#include "common/unique_fd.h"
#include "platform/trash/linux/trash_info.h"

namespace smcd::platform {
namespace {

constexpr mode_t kPrivateDirectoryMode = S_IRWXU;
constexpr mode_t kRecordMode = S_IRUSR | S_IWUSR;
constexpr std::size_t kTagBytes = 8;
constexpr gid_t kGroupUnchanged = static_cast<gid_t>(-1);  // what chown takes for "keep the group"

// Whose Trash it is: who must own every directory in it, and who gets what
// the daemon creates there.
struct Owner {
    uid_t uid = 0;
    gid_t group = 0;
};

// Hands what the daemon just created to the owner; 0 or an errno.
int giveToOwner(int fd, const Owner& owner) {
    if (owner.uid == ::geteuid()) return 0;
    return ::fchown(fd, owner.uid, owner.group) == 0 ? 0 : errno;
}

// Which mounted file system an object lives on. A rename only succeeds
// within one mount, and bind mounts share a device number, so the mount id
// decides where the kernel offers it and the device number elsewhere.
struct Placement {
    std::uint64_t mount = 0;
    bool hasMount = false;
    dev_t device = 0;
    ino_t inode = 0;

    bool sameFileSystem(const Placement& other) const {
        if (hasMount && other.hasMount) return mount == other.mount;
        return device == other.device;
    }
    bool sameObject(const Placement& other) const {
        return device == other.device && inode == other.inode;
    }
};

Expected<Placement, int> placementOf(int directory, const char* name, int flags) {
    struct statx info{};
    if (::statx(directory, name, flags, STATX_INO | STATX_MNT_ID, &info) != 0) return unexpected(errno);
    Placement placement;
    placement.hasMount = (info.stx_mask & STATX_MNT_ID) != 0;
    placement.mount = info.stx_mnt_id;
    placement.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    placement.inode = info.stx_ino;
    return placement;
}

Expected<Placement, int> placementOf(int directory) {
    return placementOf(directory, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
}

std::string errorText(int code) {
    char buffer[256];
    // Both strerror_r flavours, so that the file builds against either libc.
    struct Pick {
        static const char* text(int result, const char* buffer) { return result == 0 ? buffer : "Unknown error"; }
        static const char* text(const char* result, const char*) { return result; }
    };
    return Pick::text(::strerror_r(code, buffer, sizeof buffer), buffer);
}

TrashFailure failure(std::string_view leaf, int code) {
    std::string description = "\"";
    description += leaf;
    description += "\" could not be moved to the Trash: ";
    description += errorText(code);
    description += ".";
    return {code, std::move(description)};
}

// The current path of an open directory as the kernel knows it, if it can say.
std::optional<std::string> pathOfDirectory(int directory) {
    const std::string link = "/proc/self/fd/" + std::to_string(directory);
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
        if (length < 0) return std::nullopt;
        if (static_cast<std::size_t>(length) < buffer.size()) {
            std::string path(buffer.data(), static_cast<std::size_t>(length));
            // Unlinked or unreachable directories are reported in forms that
            // are not paths ("... (deleted)", "/..."-less pseudo names).
            if (path.empty() || path.front() != '/') return std::nullopt;
            return path;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string joined(const std::string& directory, std::string_view leaf) {
    std::string path = directory;
    if (path.empty() || path.back() != '/') path += '/';
    path += leaf;
    return path;
}

// Opens `name` below `at` as a directory without following a link, creating
// it private to the owner when it is missing, and insists that it belongs to
// the owner and that nobody else may write into it. Only a directory this
// call made itself changes hands; anything found there must already be the
// owner's.
Expected<UniqueFd, int> openPrivateDirectory(int at, const char* name, const Owner& owner) {
    UniqueFd fd = openDirectoryBelow(at, name);
    bool created = false;
    if (!fd && errno == ENOENT) {
        created = ::mkdirat(at, name, kPrivateDirectoryMode) == 0;
        if (!created && errno != EEXIST) return unexpected(errno);
        fd = openDirectoryBelow(at, name);
    }
    if (!fd) return unexpected(errno);
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0) return unexpected(errno);
    if (created && info.st_uid == ::geteuid() && info.st_uid != owner.uid) {
        if (const int error = giveToOwner(fd.get(), owner); error != 0) return unexpected(error);
        info.st_uid = owner.uid;
    }
    if (info.st_uid != owner.uid || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return unexpected(EPERM);
    return fd;
}

struct TrashDirectory {
    UniqueFd files;
    UniqueFd info;
    Placement placement;
};

Expected<TrashDirectory, int> openTrashDirectory(int at, const char* name, const Owner& owner) {
    auto trash = openPrivateDirectory(at, name, owner);
    if (!trash) return unexpected(trash.error());
    const int trashFd = trash->get();
    auto files = openPrivateDirectory(trashFd, "files", owner);
    if (!files) return unexpected(files.error());
    auto info = openPrivateDirectory(trashFd, "info", owner);
    if (!info) return unexpected(info.error());
    auto placement = placementOf(files->get());
    if (!placement) return unexpected(placement.error());
    return TrashDirectory{std::move(*files), std::move(*info), *placement};
}

Expected<TrashDirectory, int> openHomeTrash(const std::string& home, const Owner& owner) {
    if (home.empty()) return unexpected(ENOENT);
    // The home itself may sit behind a system link (/var/root); below it
    // nothing is followed. A home that is not the owner's is no place to
    // make their Trash in.
    UniqueFd homeFd(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!homeFd) return unexpected(errno);
    struct stat info{};
    if (::fstat(homeFd.get(), &info) != 0) return unexpected(errno);
    if (info.st_uid != owner.uid) return unexpected(EPERM);
    auto local = openPrivateDirectory(homeFd.get(), ".local", owner);
    if (!local) return unexpected(local.error());
    auto share = openPrivateDirectory(local->get(), "share", owner);
    if (!share) return unexpected(share.error());
    return openTrashDirectory(share->get(), "Trash", owner);
}

// The top directory of the file system holding `directory`: climb ".." while
// it stays on the same mount and is not the process's own root.
Expected<UniqueFd, int> topDirectoryOf(int directory, const Placement& placement) {
    UniqueFd current(::openat(directory, ".", kNoFollowDirectoryFlags));
    if (!current) return unexpected(errno);
    Placement here = placement;
    for (;;) {
        UniqueFd up(::openat(current.get(), "..", kNoFollowDirectoryFlags));
        if (!up) break;
        const auto above = placementOf(up.get());
        if (!above) break;
        const Placement& next = *above;
        if (!next.sameFileSystem(placement) || next.sameObject(here)) break;
        here = next;
        current = std::move(up);
    }
    return current;
}

bool entryExists(int directory, const std::string& name) {
    struct stat info{};
    return ::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// Renames without replacing anything. File systems without the no-replace
// rename get the plain one after a look; the record's exclusive creation has
// already reserved the name among well-behaved trashers.
int renameWithoutReplacing(int fromDirectory, const std::string& from, int toDirectory, const std::string& to) {
    if (::renameat2(fromDirectory, from.c_str(), toDirectory, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL) return errno;
    if (entryExists(toDirectory, to)) return EEXIST;
    if (::renameat(fromDirectory, from.c_str(), toDirectory, to.c_str()) == 0) return 0;
    return errno;
}

// A fresh mark for a name already taken: random, so that finding a free
// name costs the same however many items of that name the Trash holds, and
// nobody can take the next one in advance.
std::string randomTag() {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    unsigned char bytes[kTagBytes];
    ::arc4random_buf(bytes, sizeof bytes);
    std::string tag;
    for (const unsigned char byte : bytes) {
        tag.push_back(kHexDigits[byte >> 4]);
        tag.push_back(kHexDigits[byte & 0x0F]);
    }
    return tag;
}

// Records and moves the item into one Trash directory; 0 or an errno. The
// item's own name is tried first, then marked names until one is free.
int moveInto(const TrashDirectory& trash, const Owner& owner, int parent, const std::string& leaf,
             std::string_view recordedPath) {
    const std::string record = trash::trashInfoRecord(recordedPath, std::time(nullptr));
    for (std::string tag;; tag = randomTag()) {
        const std::string name = trash::trashEntryName(leaf, tag);
        const std::string infoName = name + std::string(trash::kInfoSuffix);
        UniqueFd info(::openat(trash.info.get(), infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               kRecordMode));
        if (!info) {
            if (errno == EEXIST) continue;
            return errno;
        }
        int error = giveToOwner(info.get(), owner);
        if (error == 0) {
            if (const auto written = io::writeAll(info.get(), record); !written) error = written.error();
        }
        info.reset();
        if (error == 0) error = renameWithoutReplacing(parent, leaf, trash.files.get(), name);
        if (error == 0) return 0;
        // A record without its item would promise something the Trash does not hold.
        ::unlinkat(trash.info.get(), infoName.c_str(), 0);
        if (error != EEXIST && error != ENOTEMPTY) return error;
    }
}

bool isPlainName(std::string_view leaf) {
    return !leaf.empty() && leaf != "." && leaf != ".." && leaf.find('/') == std::string_view::npos &&
           leaf.find('\0') == std::string_view::npos;
}

// The Trash of another volume and where its top is, kept for the next item
// from the same file system.
struct VolumeTrash {
    TrashDirectory trash;
    std::optional<std::string> topPath;
};

Expected<VolumeTrash, int> openVolumeTrash(int parentDirectory, const Placement& placement, const Owner& owner) {
    auto top = topDirectoryOf(parentDirectory, placement);
    if (!top) return unexpected(top.error());
    const std::string trashName = ".Trash-" + std::to_string(owner.uid);
    auto trash = openTrashDirectory(top->get(), trashName.c_str(), owner);
    if (!trash) return unexpected(trash.error());
    return VolumeTrash{std::move(*trash), pathOfDirectory(top->get())};
}

}  // namespace

struct FreedesktopTrash::State {
    uid_t uid;
    std::optional<Account> account;  // looked up at the first item when not given
    std::optional<Expected<TrashDirectory, int>> home;
    std::optional<VolumeTrash> volume;

    const Account& knownAccount() {
        if (!account) account = accountOf(uid).value_or(Account{"", kGroupUnchanged});
        return *account;
    }
    Owner owner() { return Owner{uid, knownAccount().group}; }
    const Expected<TrashDirectory, int>& homeTrash() {
        if (!home) home = openHomeTrash(knownAccount().home, owner());
        return *home;
    }
};

FreedesktopTrash::FreedesktopTrash(uid_t owner) : state_(std::make_unique<State>(State{owner, {}, {}, {}})) {}

FreedesktopTrash::FreedesktopTrash(std::string home, uid_t owner, gid_t group)
    : state_(std::make_unique<State>(State{owner, Account{std::move(home), group}, {}, {}})) {}

FreedesktopTrash::~FreedesktopTrash() = default;

std::optional<FreedesktopTrash::Account> FreedesktopTrash::accountOf(uid_t uid) {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    for (;;) {
        struct passwd entry{};
        struct passwd* found = nullptr;
        const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') return std::nullopt;
        return Account{found->pw_dir, found->pw_gid};
    }
}

Expected<void, TrashFailure> FreedesktopTrash::moveToTrash(int parentDirectory, std::string_view leafName,
                                                           std::string_view originalPath) {
    if (!isPlainName(leafName)) return unexpected(failure(leafName, EINVAL));
    const std::string leaf(leafName);

    struct stat item{};
    if (::fstatat(parentDirectory, leaf.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0) return unexpected(failure(leaf, errno));
    const auto parentPlacement = placementOf(parentDirectory);
    if (!parentPlacement) return unexpected(failure(leaf, parentPlacement.error()));
    const Placement& placement = *parentPlacement;

    const auto parentPath = pathOfDirectory(parentDirectory);
    const std::string itemPath = parentPath ? joined(*parentPath, leaf) : std::string(originalPath);
    const Owner owner = state_->owner();

    const auto& home = state_->homeTrash();
    if (home && home->placement.sameFileSystem(placement)) {
        const int error = moveInto(*home, owner, parentDirectory, leaf, itemPath);
        if (error == 0) return {};
        // Same device but another mount (a bind mount): the volume's own
        // Trash is the one a rename can reach.
        if (error != EXDEV) return unexpected(failure(leaf, error));
    }

    if (!state_->volume || !state_->volume->trash.placement.sameFileSystem(placement)) {
        state_->volume.reset();
        auto volume = openVolumeTrash(parentDirectory, placement, owner);
        if (!volume) return unexpected(failure(leaf, volume.error()));
        state_->volume = std::move(*volume);
    }
    const VolumeTrash& volume = *state_->volume;

    // Inside a volume's Trash the origin is written relative to the volume's
    // top, so the record stays true wherever the volume is mounted.
    std::string recorded = itemPath;
    if (volume.topPath && parentPath) {
        const std::string prefix = joined(*volume.topPath, "");
        if (itemPath.compare(0, prefix.size(), prefix) == 0) recorded = itemPath.substr(prefix.size());
    }
    const int error = moveInto(volume.trash, owner, parentDirectory, leaf, recorded);
    if (error != 0) return unexpected(failure(leaf, error));
    return {};
}

}  // namespace smcd::platform
