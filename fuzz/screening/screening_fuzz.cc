// libFuzzer target for path screening and the removal flow, run inside the
// test sandbox. The input is a program: steps that build and rearrange a
// scratch tree at and around the removal roots (folders, files, links,
// renames, removals, with names ".", "..", "a" and "é" in both normal forms),
// removal requests (family, peer, Trash or permanent, up to three paths, and
// optionally one attacker step fired from inside the flow or the engine), and
// measurement checks. Invariants:
//  - an accepted path has plain names only and lies strictly below a root of
//    its family, both as text and physically (its parent's real path), and a
//    path in a home is accepted only for the home's owner;
//  - a path accepted for measurement is a measurement root or lies below one;
//  - a request yields one record per distinct path, refused ones first and
//    never marked removed;
//  - the sentinel outside every root is never changed, whatever the attacker
//    does; without an attacker, only entries at or below the accepted paths
//    disappear, and a path reported removed no longer exists;
//  - no descriptor stays open.
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/fuzz_input.h"
#include "common/unicode.h"
#include "platform/log/logger.h"
#include "removal/screening.h"
#include "removal/removal_flow.h"
#include "removal/test_hooks.h"
#include "scratch_world.h"

namespace {

using smcd::PrivilegedRemoval::Target;
using smcd::fuzz::AttackerStep;
using smcd::fuzz::GrammarPath;
using smcd::fuzz::Reader;

[[noreturn]] void violated(const char* invariant, const std::string& path = {}) {
    std::fprintf(stderr, "screening_fuzz: invariant broken: %s %s\n", invariant, path.c_str());
    std::abort();
}

class QuietSink final : public smcd::platform::LogSink {
public:
    void write(smcd::platform::LogLevel, std::string_view, std::string_view, std::string_view) override {}
};

using smcd::fuzz::openDescriptors;

std::vector<std::string> pieces(std::string_view path) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        out.emplace_back(path.substr(start, i - start));
        start = i + 1;
    }
    return out;  // out[0] is "" for an absolute path
}

// The allowed roots as the removal contract lists them, written out here
// rather than taken from the code under test.
std::vector<std::string_view> rootsOf(Target family) {
    switch (family) {
        case Target::appBundle: return {"/Applications", "/Applications/Utilities", "/Users"};
        case Target::supportFile:
            return {"/Library/Application Support", "/Library/Caches", "/Library/Preferences",
                    "/Library/LaunchAgents", "/Library/LaunchDaemons", "/Library/PrivilegedHelperTools",
                    "/Library/Logs", "/private/var/db/receipts", "/Users"};
        case Target::systemCache: return {"/Library/Caches", "/System/Library/Caches", "/var/folders"};
        case Target::systemLogs:
            return {"/var/log", "/Library/Logs", "/var/db/diagnostics", "/var/db/DiagnosticPipeline", "/var/db/powerlog"};
        case Target::gpuShaderCaches: return {"/var/folders"};
        case Target::rosettaCaches: return {"/Library/Apple/usr/share/rosetta/rosetta_update_bundle"};
    }
    return {};
}

bool textuallyBelow(std::string_view path, std::string_view root, bool orEqual) {
    const std::string p = smcd::unicode::canonicalForm(path);
    const std::string r = smcd::unicode::canonicalForm(root);
    if (orEqual && p == r) return true;
    return p.size() > r.size() + 1 && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

bool physicallyBelow(std::string_view path, std::string_view root, bool orEqual) {
    const auto location = smcd::fuzz::physicalLocation(path);
    if (!location) return true;  // nothing there to act on: no place to be outside of
    const auto real = smcd::fuzz::realPath(root);
    if (!real) return false;
    if (orEqual && *location == *real) return true;
    return location->size() > real->size() + 1 && location->compare(0, real->size(), *real) == 0 &&
           (*location)[real->size()] == '/';
}

void checkPlainNames(const std::string& path) {
    const auto names = pieces(path);
    if (names.empty() || !names[0].empty()) violated("an accepted path is absolute", path);
    for (std::size_t i = 1; i < names.size(); ++i)
        if (names[i].empty() || names[i] == "." || names[i] == "..") violated("an accepted path has plain names only", path);
}

void checkHomeOwner(const std::string& path, uid_t owner) {
    const auto names = pieces(path);
    if (names.size() < 3 || names[1] != "Users") return;
    struct stat home {};
    const std::string homePath = "/Users/" + names[2];
    if (::lstat(homePath.c_str(), &home) != 0 || !S_ISDIR(home.st_mode) || home.st_uid != owner)
        violated("a path in a home is accepted only for its owner", path);
}

// The family's own shape on top of "below a root": which roots a path in a
// home may use, and where a bundle may sit.
bool fitsFamilyShape(const std::string& path, Target family, std::string_view root) {
    const auto names = pieces(path);
    if (root != "/Users") {
        if (family != Target::appBundle) return true;
        return names.size() == pieces(root).size() + 1;  // directly in the root
    }
    if (family == Target::appBundle) return names.size() == 5 && names[3] == "Applications";
    return family == Target::supportFile && names.size() >= 6 && names[3] == "Library";
}

void checkAccepted(const std::string& path, Target family, uid_t owner) {
    checkPlainNames(path);
    bool placed = false;
    for (const std::string_view root : rootsOf(family)) {
        if (!textuallyBelow(path, root, false) || !fitsFamilyShape(path, family, root)) continue;
        if (!physicallyBelow(path, root, false)) violated("an accepted path lies physically below its root", path);
        placed = true;
    }
    if (!placed) violated("an accepted path lies strictly below a root of its family", path);
    struct stat leaf {};
    if (::lstat(path.c_str(), &leaf) == 0 && S_ISLNK(leaf.st_mode)) violated("an accepted path is not a link", path);
    checkHomeOwner(path, owner);
    const auto root = smcd::PrivilegedRemoval::acceptedRoot(path, family, owner);
    if (!root || !textuallyBelow(path, *root, false)) violated("an accepted path has an accepted root above it", path);
}

void checkMeasurement(Reader& reader) {
    const std::string path = GrammarPath::read(reader).spelled();
    const uid_t owner = reader.next() % 2 == 0 ? 501 : 502;
    if (!smcd::PrivilegedRemoval::acceptsMeasurement(path, owner)) return;
    checkPlainNames(path);
    bool placed = false;
    for (const std::string_view root : {"/Library/Caches", "/System/Library/Caches", "/var/log", "/var/folders", "/Users"}) {
        if (textuallyBelow(path, root, true) && physicallyBelow(path, root, true)) placed = true;
    }
    if (!placed) violated("a measured path is a measurement root or lies below one", path);
    if (pieces(path).size() >= 4) checkHomeOwner(path, owner);
}

bool atOrBelow(const std::string& entry, const std::vector<std::string>& places) {
    for (const auto& place : places)
        if (entry == place || (entry.size() > place.size() && entry.compare(0, place.size(), place) == 0 && entry[place.size()] == '/'))
            return true;
    return false;
}

void runRequest(Reader& reader) {
    const auto family = static_cast<Target>(reader.next() % 6);
    const uid_t owners[] = {501, 502, 0};
    const uid_t owner = owners[reader.next() % 3];
    const bool permanent = (reader.next() & 1) != 0;
    const std::size_t count = reader.next() % 3 + 1;
    const std::uint8_t attackChoice = reader.next();
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) paths.push_back(GrammarPath::read(reader).spelled());
    const std::size_t attackPoint = attackChoice % 5;  // 0: nobody else writes
    const std::size_t attackAfterHits = attackChoice / 5 % 3;
    AttackerStep attack;
    if (attackPoint != 0) attack = AttackerStep::read(reader);

    const auto verdict = smcd::PrivilegedRemoval::screen(paths, family, owner);
    if (smcd::PrivilegedRemoval::screen(paths, family, owner) != verdict) violated("screening is deterministic");
    std::vector<std::string> places;
    for (const auto& path : verdict.allowed) {
        checkAccepted(path, family, owner);
        if (const auto place = smcd::fuzz::physicalLocation(path)) places.push_back(*place);
    }

    const auto sentinel = smcd::fuzz::snapshotSentinel();
    const auto before = smcd::fuzz::snapshotWorld();
    const std::size_t descriptors = openDescriptors();
    std::vector<smcd::PrivilegedRemovalResult> results;
    {
        using smcd::removal_hooks::Point;
        const Point points[] = {Point::afterScreening, Point::afterScreening, Point::betweenComponents,
                                Point::betweenListingAndUnlink, Point::betweenUnlinkAndOpen};
        std::size_t hits = 0;
        smcd::removal_hooks::ScopedHook hook(points[attackPoint], [&](const smcd::removal_hooks::Site&) {
            if (attackPoint != 0 && hits++ == attackAfterHits) attack.apply();
        });
        results = smcd::PrivilegedRemoval::removePaths(paths, family, permanent, owner);
    }
    if (openDescriptors() != descriptors) violated("a request closes every descriptor it opened");
    if (smcd::fuzz::snapshotSentinel() != sentinel) violated("the sentinel outside every root is never touched");

    std::vector<std::string> order = verdict.refused;
    order.insert(order.end(), verdict.allowed.begin(), verdict.allowed.end());
    if (results.size() != order.size()) violated("one record per distinct path");
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].path != order[i]) violated("records come refused first, each path as sent", order[i]);
        if (i < verdict.refused.size() && results[i].removed) violated("a refused path is never reported removed", order[i]);
        if (results[i].removed == results[i].problem.has_value()) violated("a record has a problem exactly when not removed", order[i]);
    }
    if (attackPoint != 0) return;

    const auto after = smcd::fuzz::snapshotWorld();
    for (const auto& [entry, description] : before) {
        if (after.count(entry) == 0 && !atOrBelow(entry, places)) violated("only accepted paths and their contents go", entry);
    }
    for (std::size_t i = verdict.refused.size(); i < results.size(); ++i) {
        struct stat status {};
        if (results[i].removed && ::lstat(results[i].path.c_str(), &status) == 0)
            violated("a path reported removed no longer exists", results[i].path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* inside = std::getenv("SMCD_IN_SANDBOX");
    if (inside == nullptr || std::string_view(inside) != "1") {
        std::fprintf(stderr, "screening_fuzz: changes /Library, /Users and /var: run it in tests/sandbox/run-in-sandbox.sh\n");
        std::exit(1);
    }
    static QuietSink quiet;
    smcd::platform::installLogSink(&quiet);
    smcd::fuzz::prepareWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    smcd::fuzz::resetWorld();
    Reader reader(std::string_view(reinterpret_cast<const char*>(data), size));
    for (int step = 0; step < 24 && !reader.done(); ++step) {
        switch (reader.next() % 8) {
            case 0:
            case 1:
            case 2:
                AttackerStep::read(reader).apply();
                break;
            case 3:
            case 4:
                AttackerStep::read(reader).apply();
                [[fallthrough]];
            case 5:
                runRequest(reader);
                break;
            case 6:
                checkMeasurement(reader);
                break;
            default:
                break;
        }
    }
    return 0;
}
