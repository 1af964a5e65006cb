#include "platform/credentials/user_account.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace smcd::platform {
namespace {

// An entry that needs more than this is not one the daemon will act as.
constexpr std::size_t kLargestEntryBytes = std::size_t{1} << 20;
// Linux's NGROUPS_MAX, for a system that does not say its own.
constexpr std::size_t kMostGroupsAnywhere = 65536;

// Every group `name` is a member of, `group` included; nothing when the
// list is longer than any thread may carry.
std::optional<std::vector<gid_t>> groupsOf(const char* name, gid_t group) {
    const long most = ::sysconf(_SC_NGROUPS_MAX);
    const std::size_t limit = most > 0 ? static_cast<std::size_t>(most) : kMostGroupsAnywhere;
    std::vector<gid_t> groups(16);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(name, group, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        if (groups.size() >= limit) return std::nullopt;
        // glibc says in `count` how many there are; grow at least twofold all the same.
        groups.resize(std::min(std::max(static_cast<std::size_t>(count), groups.size() * 2), limit));
    }
}

}  // namespace

std::optional<UserAccount> accountOf(uid_t uid) {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    struct passwd entry{};
    struct passwd* found = nullptr;
    for (;;) {
        const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kLargestEntryBytes) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) return std::nullopt;
        break;
    }
    auto groups = groupsOf(found->pw_name, found->pw_gid);
    if (!groups) return std::nullopt;
    UserAccount account{{uid, found->pw_gid, std::move(*groups)}, {}};
    if (found->pw_dir != nullptr && found->pw_dir[0] == '/') account.home = found->pw_dir;
    return account;
}

}  // namespace smcd::platform
