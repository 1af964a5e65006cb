#include "removal/measurement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <optional>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "common/unicode.h"
#include "common/unique_dir.h"
#include "common/unique_fd.h"
#include "platform/log/daemon_log.h"
#include "removal/privileged_removal.h"
#include "removal/test_hooks.h"

namespace smcd::PrivilegedRemoval {
namespace {

constexpr int belowFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::int64_t blockSize = 512;

// Directories held open at once besides the measured path's own. Deeper
// levels give up their descriptor and are found again on the way back up, so
// a tree of any depth is walked within this budget whatever the process's
// descriptor limit, and a daemon serving several connections keeps headroom.
constexpr std::size_t openLevelBudget = 32;

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<std::int64_t>::max();
    return sum;
}

struct Totals {
    std::int64_t bytes = 0;
    std::int64_t files = 0;

    void addFile(blkcnt_t blocks) {
        std::int64_t allocated = 0;
        if (blocks < 0 || __builtin_mul_overflow(static_cast<std::int64_t>(blocks), blockSize, &allocated)) {
            allocated = std::numeric_limits<std::int64_t>::max();
        }
        bytes = saturatingAdd(bytes, allocated);
        files = saturatingAdd(files, 1);
    }
};

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Identity&) const = default;
};

std::optional<Identity> identityOf(int fd) {
    struct stat info{};
    if (::fstat(fd, &info) != 0) return std::nullopt;
    return Identity{info.st_dev, info.st_ino};
}

// One directory on the way down. Its entries are read completely on arrival;
// what stays is the list of subdirectories still to visit and, while within
// the budget, a descriptor to open them relative to.
struct Level {
    UniqueFd fd;  // empty while evicted
    std::string name;
    Identity identity;
    std::vector<std::string> pending;
};

// Counts the regular files of one directory and lists its subdirectories.
// The entry type from the directory read spares a status call for everything
// but regular files (whose size is needed) and file systems that do not say.
void readLevel(Level& level, Totals& totals) {
    UniqueFd copy(::fcntl(level.fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy) return;
    UniqueDir stream(::fdopendir(copy.get()));
    if (!stream) return;
    copy.release();
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        switch (entry->d_type) {
            case DT_DIR:
                level.pending.emplace_back(name);
                continue;
            case DT_REG:
            case DT_UNKNOWN:
                break;
            default:  // links, devices, sockets, pipes: nothing to count or follow
                continue;
        }
        struct stat info{};
        if (::fstatat(stream.fd(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(info.st_mode)) {
            totals.addFile(info.st_blocks);
        } else if (S_ISDIR(info.st_mode)) {
            level.pending.emplace_back(name);
        }
    }
}

// Opens the measured path component by component from "/", following only
// the system's own alias links, so that a directory the peer swapped for a
// link after screening is not entered.
UniqueFd openMeasuredDirectory(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return {};
    UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string prefix;
    std::size_t start = 1;
    while (current && start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string name(path.substr(start, end - start));
        start = end + 1;
        if (name.empty()) continue;
        if (name == "." || name == "..") return {};
        prefix += '/';
        prefix += name;
        // The system's own alias links are the only ones the path may pass.
        const bool alias = isSystemAliasRoot(prefix);
        current.reset(::openat(current.get(), name.c_str(), alias ? (O_RDONLY | O_DIRECTORY | O_CLOEXEC) : belowFlags));
    }
    return current;
}

class TreeWalk {
public:
    explicit TreeWalk(UniqueFd root) {
        const auto identity = identityOf(root.get());
        if (!identity) return;
        levels_.push_back(Level{std::move(root), {}, *identity, {}});
        readLevel(levels_.back(), totals_);
    }

    Totals run() {
        while (!levels_.empty()) {
            Level& top = levels_.back();
            if (top.pending.empty()) {
                ascend();
            } else {
                std::string name = std::move(top.pending.back());
                top.pending.pop_back();
                descend(top, std::move(name));
            }
        }
        return totals_;
    }

private:
    void descend(Level& parent, std::string name) {
        SMCD_REMOVAL_HOOK(removal_hooks::Point::betweenComponents, name, levels_.size() - 1, parent.fd.get());
        UniqueFd fd(::openat(parent.fd.get(), name.c_str(), belowFlags));
        if (!fd) return;  // gone, unreadable, or swapped for a link: skipped
        const auto identity = identityOf(fd.get());
        if (!identity) return;
        levels_.push_back(Level{std::move(fd), std::move(name), *identity, {}});
        readLevel(levels_.back(), totals_);
        if (levels_.size() - firstOpen_ > openLevelBudget) {
            levels_[firstOpen_].fd.reset();
            ++firstOpen_;
        }
    }

    void ascend() {
        UniqueFd child = std::move(levels_.back().fd);
        levels_.pop_back();
        if (levels_.empty()) return;
        const std::size_t index = levels_.size() - 1;
        if (index == 0 || index >= firstOpen_) return;
        firstOpen_ = index;
        levels_[index].fd = reopen(index, child.get());
        // A level that cannot be found again unchanged is left unfinished:
        // whatever stands there now is not what screening looked at.
        if (!levels_[index].fd) levels_[index].pending.clear();
    }

    // An evicted level, found again without following links and only if it
    // is still the very directory it was: first through its child's "..",
    // otherwise by name from the measured path's own directory.
    UniqueFd reopen(std::size_t index, int childFd) {
        const Identity wanted = levels_[index].identity;
        if (childFd >= 0) {
            UniqueFd up(::openat(childFd, "..", belowFlags));
            if (up && identityOf(up.get()) == wanted) return up;
        }
        UniqueFd current(::fcntl(levels_.front().fd.get(), F_DUPFD_CLOEXEC, 0));
        for (std::size_t i = 1; current && i <= index; ++i) {
            current.reset(::openat(current.get(), levels_[i].name.c_str(), belowFlags));
            if (current && identityOf(current.get()) != levels_[i].identity) return {};
        }
        return current;
    }

    std::vector<Level> levels_;
    std::size_t firstOpen_ = 1;  // levels [1, firstOpen_) have given up their descriptor
    Totals totals_;
};

}  // namespace

void to_json(nlohmann::ordered_json& json, const Measurement& measurement) {
    json = nlohmann::ordered_json::object();
    json["path"] = measurement.path;
    json["bytes"] = measurement.bytes;
    json["fileCount"] = measurement.fileCount;
    json["refused"] = measurement.refused;
}

void from_json(const nlohmann::json& json, Measurement& measurement) {
    json.at("path").get_to(measurement.path);
    json.at("bytes").get_to(measurement.bytes);
    json.at("fileCount").get_to(measurement.fileCount);
    json.at("refused").get_to(measurement.refused);
}

std::pair<std::int64_t, std::int64_t> measureTree(std::string_view path) {
    UniqueFd root = openMeasuredDirectory(path);
    if (!root) return {0, 0};
    const Totals totals = TreeWalk(std::move(root)).run();
    return {totals.bytes, totals.files};
}

std::vector<Measurement> measurePaths(const std::vector<std::string>& paths, uid_t owner) {
    std::vector<Measurement> records;
    std::unordered_set<std::string> seen;
    for (const auto& path : paths) {
        if (!seen.insert(unicode::canonicalForm(path)).second) continue;
        if (!acceptsMeasurement(path, owner)) {
            daemonLog().log(platform::LogLevel::Error, "measurement refused by screening: %{private}s", path);
            records.push_back({path, 0, 0, true});
            continue;
        }
        const auto [bytes, fileCount] = measureTree(path);
        records.push_back({path, bytes, fileCount, false});
    }
    return records;
}

}  // namespace smcd::PrivilegedRemoval
