#include "platform/code_signing/linux/executable_anchor.h"

#include <linux/magic.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace smcd::platform {
namespace {

// Every magic number fits 32 bits; f_type is a signed word of either width.
bool isRemotelyOwnedFileSystem(__fsword_t type) {
    constexpr std::array<std::uint32_t, 10> kRemoteTypes = {
        FUSE_SUPER_MAGIC, NFS_SUPER_MAGIC,  SMB_SUPER_MAGIC,  CIFS_SUPER_MAGIC, SMB2_SUPER_MAGIC,
        V9FS_MAGIC,       CEPH_SUPER_MAGIC, CODA_SUPER_MAGIC, AFS_SUPER_MAGIC,  AFS_FS_MAGIC,
    };
    return std::find(kRemoteTypes.begin(), kRemoteTypes.end(), static_cast<std::uint32_t>(type)) != kRemoteTypes.end();
}

}  // namespace

ExecutableAnchor anchorOf(const struct stat& status, __fsword_t fileSystemType) {
    if (!S_ISREG(status.st_mode)) return ExecutableAnchor::notRegularFile;
    if (status.st_uid != 0) return ExecutableAnchor::notOwnedByRoot;
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return ExecutableAnchor::writableByGroupOrOthers;
    if (isRemotelyOwnedFileSystem(fileSystemType)) return ExecutableAnchor::untrustedFileSystem;
    return ExecutableAnchor::anchored;
}

std::optional<__fsword_t> fileSystemTypeOf(int fd) {
    struct statfs fileSystem {};
    if (::fstatfs(fd, &fileSystem) != 0) return std::nullopt;
    return fileSystem.f_type;
}

ExecutableAnchor assessExecutableAnchor(int executableFd, const struct stat& status, FileSystemTypeQuery typeOf) {
    const std::optional<__fsword_t> type = typeOf(executableFd);
    if (!type) return ExecutableAnchor::unknownFileSystem;
    return anchorOf(status, *type);
}

}  // namespace smcd::platform
