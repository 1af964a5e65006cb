#include "launchd/plist_inspection.h"

#include <fcntl.h>
#include <sys/stat.h>


#include "common/io.h"
#include "common/unique_fd.h"
#include "platform/plist/property_list.h"

namespace smcd::launchd {
namespace {

// Reads at most kMaxPlistBytes; anything that is not a regular file of at
// most that size by the time it is opened yields nothing. O_NOFOLLOW and
// O_NONBLOCK keep a link or a FIFO swapped in after screening from
// redirecting or stalling the read.
std::optional<std::string> boundedContents(std::string_view path) {
    const std::string terminated(path);
    UniqueFd fd(::open(terminated.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!fd) return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if (info.st_size < 0 || static_cast<std::size_t>(info.st_size) > kMaxPlistBytes) return std::nullopt;

    std::string bytes(kMaxPlistBytes + 1, '\0');
    const auto got = io::readAll(fd.get(), bytes.data(), bytes.size());
    if (!got) return std::nullopt;
    const std::size_t filled = *got;
    // A file that grew past the limit since fstat is refused, not truncated.
    if (filled > kMaxPlistBytes) return std::nullopt;
    bytes.resize(filled);
    return bytes;
}

}  // namespace

Ownership plistOwnership(std::string_view path) {
    const std::string terminated(path);
    struct stat info {};
    if (::lstat(terminated.c_str(), &info) != 0) return Ownership::unusable;
    if (!S_ISREG(info.st_mode)) return Ownership::unusable;
    if (info.st_size < 0 || static_cast<std::size_t>(info.st_size) > kMaxPlistBytes) return Ownership::unusable;
    if (info.st_uid != 0) return Ownership::unsafe;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return Ownership::unsafe;
    return Ownership::acceptable;
}

std::optional<std::string> plistLabel(std::string_view path) {
    const auto contents = boundedContents(path);
    if (!contents || contents->empty()) return std::nullopt;
    return platform::dictionaryText(*contents, "Label");
}

}  // namespace smcd::launchd
