#pragma once

#include <sys/stat.h>
#include <sys/vfs.h>

#include <optional>

namespace smcd::platform {

// The stand-in for `anchor apple generic`. Linux has no signature chain, so
// the executable must instead be one that only root could have put in place
// or changed: a regular file owned by root, writable by neither group nor
// others, on a file system whose ownership the local kernel vouches for.
// Group bits also carry the mask of a POSIX ACL, so an ACL that lets someone
// else write shows up here as group write.
enum class ExecutableAnchor {
    anchored,
    notRegularFile,
    notOwnedByRoot,
    writableByGroupOrOthers,
    untrustedFileSystem,  // FUSE and network file systems report whatever owner their server claims
    unknownFileSystem,    // fstatfs failed
};

// From values rather than the open file, so that the file-system rule can be
// tried for every type without mounting one.
ExecutableAnchor anchorOf(const struct stat& status, __fsword_t fileSystemType);

// The type of the file system an open file lives on (fstatfs), nothing when
// the system cannot say. A parameter of the gate, so that the rule for file
// systems whose owners a user controls can be proved through the gate itself
// where no such file system can be mounted.
using FileSystemTypeQuery = std::optional<__fsword_t> (*)(int fd);
std::optional<__fsword_t> fileSystemTypeOf(int fd);

// anchorOf the open executable and the file system it lives on.
ExecutableAnchor assessExecutableAnchor(int executableFd, const struct stat& status,
                                        FileSystemTypeQuery typeOf = fileSystemTypeOf);

}  // namespace smcd::platform
