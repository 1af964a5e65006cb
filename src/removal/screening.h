#pragma once

// Screening of every removal, measurement and launchd toggle: reads the file
// system (status queries, link resolution) but changes nothing, keeps no
// state and is reentrant.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "removal/families_and_roots.h"

namespace smcd::removal {

struct Verdict {
    std::vector<std::string> allowed;
    std::vector<std::string> refused;
    bool operator==(const Verdict&) const = default;
};

// Screening of a request: each distinct path (canonical equivalence) once, in
// request order, exactly as sent.
Verdict screen(const std::vector<std::string>& paths, Target target, uid_t owner);

bool accepts(std::string_view path, Target target);
bool accepts(std::string_view path, Target target, uid_t owner);
bool acceptsResolved(std::string_view path, Target target, uid_t owner);
bool acceptsResolved(std::string_view path, Target target);
std::optional<std::string> resolved(std::string_view path);

// The root an accepted path is removed below.
std::optional<std::string> acceptedRoot(std::string_view path, Target target);
std::optional<std::string> acceptedRoot(std::string_view path, Target target, uid_t owner);

bool acceptsMeasurement(std::string_view path);
bool acceptsMeasurement(std::string_view path, uid_t owner);

// The checks that removal, measurement and launchd screening share.
bool isCanonicalAbsolute(std::string_view path);
bool isSymbolicLinkLeaf(std::string_view path);  // the leaf check fails when true
bool hasLinkedAncestor(std::string_view path);
std::optional<uid_t> homeOwner(std::string_view path);
bool isScopedToPeer(std::string_view path, uid_t owner);

}  // namespace smcd::removal
