#include "scratch_world.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace smcd::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr std::array<std::string_view, 8> kBases{
    "/Library/Caches",
    "/var/folders/zz/yy/C",
    "/Users/ann",
    "/Applications",
    "/Library/Apple/usr/share/rosetta/rosetta_update_bundle",
    "/private/var/log",
    "/Users/bob",
    "/outside",
};

constexpr std::array<std::string_view, 10> kNames{
    ".", "..", "a", "\xC3\xA9", "e\xCC\x81", "Library", "Caches", "x.app", "com.apple.metal", "Applications",
};

// Entries the sandbox itself puts in a base; a reset keeps them.
bool preinstalled(const fs::path& entry) { return entry == "/Applications/Utilities"; }

std::string parentOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string leafOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool strictlyBelow(std::string_view path, std::string_view root) {
    return path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

// A step may act on `path` only where it physically lies strictly below a base.
bool attackerMayTouch(const std::string& path) {
    const std::string leaf = leafOf(path);
    if (leaf.empty() || leaf == "." || leaf == "..") return false;
    const auto location = physicalLocation(path);
    if (!location) return false;
    if (*location == kSentinel || strictlyBelow(*location, kSentinel)) return false;
    for (const std::string_view base : kBases) {
        const auto real = realPath(base);
        if (real && strictlyBelow(*location, *real)) return true;
    }
    return false;
}

void writeFile(const std::string& path, std::string_view contents) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const ssize_t ignored = ::write(fd, contents.data(), contents.size());
    static_cast<void>(ignored);
    ::close(fd);
}

void describeTree(const fs::path& top, Snapshot& into) {
    std::error_code error;
    const auto status = fs::symlink_status(top, error);
    if (error || !fs::exists(status)) return;
    into[top.string()] = "d";
    for (auto it = fs::recursive_directory_iterator(top, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const auto entry = it->symlink_status();
        std::string description;
        if (fs::is_symlink(entry)) {
            description = "l:" + fs::read_symlink(it->path(), error).string();
        } else if (fs::is_directory(entry)) {
            description = "d";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            description = "f:" + std::string(std::istreambuf_iterator<char>(in), {});
        }
        into[it->path().string()] = description;
    }
}

std::string linkTargetFor(std::uint8_t choice, const GrammarPath& other) {
    switch (choice % 6) {
        case 0: return std::string(kSentinel);
        case 1: return std::string(kSentinel) + "/dir";
        case 2: return "..";
        case 3: return "../..";
        case 4: return "a";
        default: return other.plain();
    }
}

}  // namespace

GrammarPath GrammarPath::read(Reader& reader) {
    GrammarPath path;
    path.base = reader.next() % kBases.size();
    const std::size_t count = reader.next() % 6;
    for (std::size_t i = 0; i < count; ++i) path.names.push_back(reader.next() % kNames.size());
    path.spelling = reader.next();
    return path;
}

std::string GrammarPath::plain() const {
    std::string text(kBases[base]);
    for (const std::size_t name : names) {
        text.push_back('/');
        text.append(kNames[name]);
    }
    return text;
}

std::string GrammarPath::spelled() const {
    std::string text(kBases[base]);
    if (spelling & 1) {
        if (text.rfind("/private/", 0) == 0) {
            text.erase(0, 8);
        } else if (text.rfind("/var/", 0) == 0) {
            text.insert(0, "/private");
        }
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        text.append((spelling & 4) && i == 0 ? "//" : "/");
        text.append(kNames[names[i]]);
    }
    if (spelling & 2) text.push_back('/');
    return text;
}

AttackerStep AttackerStep::read(Reader& reader) {
    AttackerStep step;
    step.kind = static_cast<Kind>(reader.next() % 5);
    step.path = GrammarPath::read(reader);
    if (step.kind == Kind::rename || step.kind == Kind::makeLink) step.other = GrammarPath::read(reader);
    if (step.kind == Kind::makeLink) step.linkTarget = reader.next();
    return step;
}

void AttackerStep::apply() const {
    const std::string target = path.plain();
    switch (kind) {
        case Kind::makeFolders: {
            GrammarPath prefix = path;
            for (std::size_t n = 1; n <= path.names.size(); ++n) {
                prefix.names.assign(path.names.begin(), path.names.begin() + static_cast<std::ptrdiff_t>(n));
                const std::string step = prefix.plain();
                if (attackerMayTouch(step)) ::mkdir(step.c_str(), 0755);
            }
            break;
        }
        case Kind::makeFile:
            if (attackerMayTouch(target)) writeFile(target, "item");
            break;
        case Kind::makeLink:
            if (attackerMayTouch(target)) ::symlink(linkTargetFor(linkTarget, other).c_str(), target.c_str());
            break;
        case Kind::rename: {
            const std::string destination = other.plain();
            if (attackerMayTouch(target) && attackerMayTouch(destination)) ::rename(target.c_str(), destination.c_str());
            break;
        }
        case Kind::remove:
            if (attackerMayTouch(target) && ::unlink(target.c_str()) != 0) ::rmdir(target.c_str());
            break;
    }
}

void prepareWorld() {
    fs::create_directories(std::string(kSentinel) + "/dir");
    writeFile(std::string(kSentinel) + "/keep", "sentinel");
    writeFile(std::string(kSentinel) + "/dir/deep", "sentinel");
    fs::create_directories("/outside");
}

void resetWorld() {
    std::error_code ignored;
    for (const std::string_view base : kBases) {
        fs::create_directories(fs::path(base), ignored);
        for (auto it = fs::directory_iterator(fs::path(base), ignored); !ignored && it != fs::directory_iterator();
             it.increment(ignored)) {
            if (preinstalled(it->path())) continue;
            std::error_code removal;
            fs::remove_all(it->path(), removal);
        }
        ignored.clear();
    }
    fs::remove_all("/private/var/root/.local/share/Trash", ignored);
}

Snapshot snapshotWorld() {
    Snapshot world;
    for (const std::string_view base : kBases)
        if (const auto real = realPath(base)) describeTree(*real, world);
    describeTree(std::string(kSentinel), world);
    return world;
}

Snapshot snapshotSentinel() {
    Snapshot sentinel;
    describeTree(std::string(kSentinel), sentinel);
    return sentinel;
}

std::optional<std::string> realPath(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string name(path);
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(name.c_str(), nullptr), &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

std::optional<std::string> physicalLocation(std::string_view path) {
    std::string trimmed(path);
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const auto parent = realPath(parentOf(trimmed));
    if (!parent) return std::nullopt;
    const std::string leaf = leafOf(trimmed);
    if (leaf.empty()) return parent;
    return (*parent == "/" ? "" : *parent) + "/" + leaf;
}

}  // namespace smcd::fuzz
