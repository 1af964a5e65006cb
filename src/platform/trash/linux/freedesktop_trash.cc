#include "platform/trash/linux/freedesktop_trash.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/io.h"
#include "common/unique_fd.h"
#include "platform/credentials/acting_as.h"
#include "platform/trash/linux/trash_info.h"
#include "walk/directory_walk.h"

namespace smcd::platform {
namespace {

constexpr mode_t kPrivateDirectoryMode = S_IRWXU;
constexpr mode_t kRecordMode = S_IRUSR | S_IWUSR;
constexpr std::size_t kTagBytes = 8;
// No one but the owner may write into a Trash directory.
constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;
// The daemon's own Trash holds root's and other users' items, some of them
// protected until now only by the folders they came from: no one else may
// so much as enter it.
constexpr mode_t kOthersAnything = S_IRWXG | S_IRWXO;

// Whose Trash it is: who must own every directory in it, and with whose
// rights what lies in it is made, opened and written. The daemon's own
// Trash is made with the daemon's.
struct Owner {
    uid_t uid = 0;
    std::optional<FileSystemIdentity> identity;  // nothing for the daemon's own

    bool isDaemon() const { return !identity; }
};

// Runs `work`, which answers an Expected with an errno, with the owner's
// rights: a user's Trash lies where the user has a say, and whatever the
// user swaps in there meanwhile must meet the user's permissions, never the
// daemon's.
template <typename Work>
auto withOwnersRights(const Owner& owner, Work&& work) -> decltype(work()) {
    if (owner.isDaemon()) return work();
    const ActingAs acting(*owner.identity);
    if (acting.failure() != 0) return unexpected(acting.failure());
    return work();
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

TrashFailure failure(std::string_view leaf, int code, TrashFailure::Kind kind = TrashFailure::Kind::notMoved) {
    std::string description = "\"";
    description += leaf;
    description += "\" could not be moved to the Trash: ";
    description += errorText(code);
    description += ".";
    return {code, std::move(description), kind};
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
// it private when it is missing, and insists that it belongs to the owner
// and that no one else has the access `refused` names. Runs with the
// owner's rights, so that a directory it creates is the owner's from the
// start and one it finds must already be: nothing ever changes hands.
Expected<UniqueFd, int> openPrivateDirectory(int at, const char* name, const Owner& owner,
                                             mode_t refused = kOthersWrite) {
    UniqueFd fd = openDirectoryBelow(at, name);
    if (!fd && errno == ENOENT) {
        if (::mkdirat(at, name, kPrivateDirectoryMode) != 0 && errno != EEXIST) return unexpected(errno);
        fd = openDirectoryBelow(at, name);
    }
    if (!fd) return unexpected(errno);
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0) return unexpected(errno);
    if (info.st_uid != owner.uid || (info.st_mode & refused) != 0) return unexpected(EPERM);
    return fd;
}

struct TrashDirectory {
    UniqueFd files;
    UniqueFd info;
    Placement placement;
};

// The Trash directory `name` below `at`. Runs with the owner's rights.
Expected<UniqueFd, int> openTrashFolder(int at, const char* name, const Owner& owner) {
    return openPrivateDirectory(at, name, owner, owner.isDaemon() ? kOthersAnything : kOthersWrite);
}

// The two parts of an open Trash directory, which closes once they are open.
// Runs with the owner's rights.
Expected<TrashDirectory, int> openTrashParts(UniqueFd trash, const Owner& owner) {
    auto files = openPrivateDirectory(trash.get(), "files", owner);
    if (!files) return unexpected(files.error());
    auto info = openPrivateDirectory(trash.get(), "info", owner);
    if (!info) return unexpected(info.error());
    auto placement = placementOf(files->get());
    if (!placement) return unexpected(placement.error());
    return TrashDirectory{std::move(*files), std::move(*info), *placement};
}

Expected<TrashDirectory, int> openHomeTrash(const std::string& home, const Owner& owner) {
    if (home.empty()) return unexpected(ENOENT);
    return withOwnersRights(owner, [&]() -> Expected<TrashDirectory, int> {
        // The home itself may sit behind a system link (/var/root); below it
        // nothing is followed. A home that is not the owner's is no place to
        // make their Trash in.
        UniqueFd directory(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!directory) return unexpected(errno);
        struct stat info{};
        if (::fstat(directory.get(), &info) != 0) return unexpected(errno);
        if (info.st_uid != owner.uid) return unexpected(EPERM);
        for (const char* name : {".local", "share"}) {
            auto below = openPrivateDirectory(directory.get(), name, owner);
            if (!below) return unexpected(below.error());
            directory = std::move(*below);
        }
        auto trash = openTrashFolder(directory.get(), "Trash", owner);
        if (!trash) return unexpected(trash.error());
        directory.reset();
        return openTrashParts(std::move(*trash), owner);
    });
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

// Makes the record `name` in `info` exclusively and writes it whole; EEXIST
// when the name is taken. Runs with the owner's rights.
Expected<void, int> writeRecord(int info, const std::string& name, const std::string& record) {
    UniqueFd fd(::openat(info, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kRecordMode));
    if (!fd) return unexpected(errno);
    if (const auto written = io::writeAll(fd.get(), record); !written) {
        ::unlinkat(info, name.c_str(), 0);
        return unexpected(written.error());
    }
    return {};
}

// Why a move into one Trash directory failed, and whether the Trash is to
// blame: one that cannot take a record cannot be used at all.
struct MoveFailure {
    int code = 0;
    bool trashUnusable = false;
};

// Records and moves the item into one Trash directory. The item's own name
// is tried first, then marked names until one is free.
Expected<void, MoveFailure> moveInto(const TrashDirectory& trash, const Owner& owner, int parent,
                                     const std::string& leaf, std::string_view recordedPath) {
    const std::string record = trash::trashInfoRecord(recordedPath, std::time(nullptr));
    for (std::string tag;; tag = randomTag()) {
        const std::string name = trash::trashEntryName(leaf, tag);
        const std::string infoName = name + std::string(trash::kInfoSuffix);
        const auto recorded = withOwnersRights(owner, [&] { return writeRecord(trash.info.get(), infoName, record); });
        if (!recorded) {
            if (recorded.error() == EEXIST) continue;
            return unexpected(MoveFailure{recorded.error(), true});
        }
        // The move is the daemon's: the owner may have no right to take the
        // item from where it is. Both ends are descriptors opened before,
        // and a rename neither follows nor replaces the entry it makes.
        const int error = renameWithoutReplacing(parent, leaf, trash.files.get(), name);
        if (error == 0) return {};
        // A record without its item would promise something the Trash does not hold.
        static_cast<void>(withOwnersRights(owner, [&]() -> Expected<void, int> {
            ::unlinkat(trash.info.get(), infoName.c_str(), 0);
            return {};
        }));
        if (error != EEXIST && error != ENOTEMPTY) return unexpected(MoveFailure{error, false});
    }
}

bool isPlainName(std::string_view leaf) {
    return !leaf.empty() && leaf != "." && leaf != ".." && leaf.find('/') == std::string_view::npos &&
           leaf.find('\0') == std::string_view::npos;
}

// The Trash of another volume and where its top is.
struct VolumeTrash {
    TrashDirectory trash;
    std::optional<std::string> topPath;
};

// `.Trash-<uid>` at the top of the volume, only as the owner could make and
// use it: with the owner's rights, so that a top the owner may not write
// into gets no Trash of theirs. Finding the top only looks, as the daemon.
Expected<VolumeTrash, int> openVolumeTrash(int parentDirectory, const Placement& placement, const Owner& owner) {
    auto top = topDirectoryOf(parentDirectory, placement);
    if (!top) return unexpected(top.error());
    const std::optional<std::string> topPath = pathOfDirectory(top->get());
    const std::string trashName = ".Trash-" + std::to_string(owner.uid);
    auto trash = withOwnersRights(owner, [&]() -> Expected<TrashDirectory, int> {
        auto folder = openTrashFolder(top->get(), trashName.c_str(), owner);
        if (!folder) return unexpected(folder.error());
        top->reset();
        return openTrashParts(std::move(*folder), owner);
    });
    if (!trash) return unexpected(trash.error());
    return VolumeTrash{std::move(*trash), topPath};
}

}  // namespace

struct FreedesktopTrash::State {
    uid_t uid;
    std::optional<std::optional<UserAccount>> account;  // looked up at the first item when not given
    std::optional<Expected<TrashDirectory, int>> home;
    // The file system an item last needed its volume's Trash for, and what that gave.
    std::optional<std::pair<Placement, Expected<VolumeTrash, int>>> volume;

    const std::optional<UserAccount>& knownAccount() {
        if (!account) account = accountOf(uid);
        return *account;
    }
    // Nothing for another user whom the user database does not know: there
    // is no identity to act with, so no Trash of theirs.
    std::optional<Owner> owner() {
        if (uid == ::geteuid()) return Owner{uid, std::nullopt};
        const auto& known = knownAccount();
        if (!known) return std::nullopt;
        return Owner{uid, known->identity};
    }
    const Expected<TrashDirectory, int>& homeTrash(const Owner& owner) {
        if (!home) home = openHomeTrash(knownAccount() ? knownAccount()->home : std::string(), owner);
        return *home;
    }
    const Expected<VolumeTrash, int>& volumeTrash(int parentDirectory, const Placement& placement, const Owner& owner) {
        if (!volume || !volume->first.sameFileSystem(placement)) {
            volume.reset();  // one volume's directories open at a time
            volume.emplace(placement, openVolumeTrash(parentDirectory, placement, owner));
        }
        return volume->second;
    }
};

FreedesktopTrash::FreedesktopTrash(uid_t owner) : state_(std::make_unique<State>(State{owner, {}, {}, {}})) {}

FreedesktopTrash::FreedesktopTrash(UserAccount account)
    : state_(std::make_unique<State>(State{account.identity.user, std::move(account), {}, {}})) {}

FreedesktopTrash::~FreedesktopTrash() = default;

Expected<void, TrashFailure> FreedesktopTrash::moveToTrash(int parentDirectory, std::string_view leafName,
                                                           std::string_view originalPath) {
    if (!isPlainName(leafName)) return unexpected(failure(leafName, EINVAL));
    const std::string leaf(leafName);

    struct stat item{};
    if (::fstatat(parentDirectory, leaf.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0) return unexpected(failure(leaf, errno));
    const auto parentPlacement = placementOf(parentDirectory);
    if (!parentPlacement) return unexpected(failure(leaf, parentPlacement.error()));
    const Placement& placement = *parentPlacement;
    const auto owner = state_->owner();
    if (!owner) return unexpected(failure(leaf, ENOENT, TrashFailure::Kind::noTrash));

    const auto parentPath = pathOfDirectory(parentDirectory);
    const std::string itemPath = parentPath ? joined(*parentPath, leaf) : std::string(originalPath);

    const auto& home = state_->homeTrash(*owner);
    if (home && home->placement.sameFileSystem(placement)) {
        const auto moved = moveInto(*home, *owner, parentDirectory, leaf, itemPath);
        if (moved) return {};
        // A home Trash that takes no record, or the home's device under
        // another mount (a bind mount: EXDEV): the volume's own Trash is the
        // next place.
        if (!moved.error().trashUnusable && moved.error().code != EXDEV)
            return unexpected(failure(leaf, moved.error().code));
    }

    const auto& volume = state_->volumeTrash(parentDirectory, placement, *owner);
    if (!volume) return unexpected(failure(leaf, volume.error(), TrashFailure::Kind::noTrash));

    // Inside a volume's Trash the origin is written relative to the volume's
    // top, so the record stays true wherever the volume is mounted.
    std::string recorded = itemPath;
    if (volume->topPath && parentPath) {
        const std::string prefix = joined(*volume->topPath, "");
        if (itemPath.compare(0, prefix.size(), prefix) == 0) recorded = itemPath.substr(prefix.size());
    }
    const auto moved = moveInto(volume->trash, *owner, parentDirectory, leaf, recorded);
    if (moved) return {};
    return unexpected(failure(leaf, moved.error().code,
                              moved.error().trashUnusable ? TrashFailure::Kind::noTrash : TrashFailure::Kind::notMoved));
}

}  // namespace smcd::platform
