#pragma once

// One removal request from the client's list to its records: screening,
// the check at the moment of acting, and the move to the Trash or the
// deletion through the descriptor-relative engine.

#include <sys/types.h>

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/trash/trash_can.h"
#include "removal/families_and_roots.h"

namespace smcd {

struct PrivilegedRemovalResult {
    std::string path;  // exactly as the client sent it
    bool removed = false;
    std::optional<std::string> problem;  // absent when removed
    bool operator==(const PrivilegedRemovalResult&) const = default;
};

// Keys "path", "removed" and, only when there is one, "problem".
void to_json(nlohmann::ordered_json& json, const PrivilegedRemovalResult& result);

namespace removal {

// One record per distinct path: the paths screening refused first, in
// request order, then every allowed path in request order. `permanent`
// false moves the owner's own items to the owner's own Trash and any other
// to the daemon's (whose_trash.h), true deletes them. Once `stop` is
// requested no further path is handled.
std::vector<PrivilegedRemovalResult> removePaths(const std::vector<std::string>& paths, Target family,
                                                 bool permanent, uid_t owner, std::stop_token stop = {});

// The same with a given Trash instead of the owner's.
std::vector<PrivilegedRemovalResult> removePaths(const std::vector<std::string>& paths, Target family,
                                                 bool permanent, uid_t owner, platform::TrashCan& trash,
                                                 std::stop_token stop = {});

}  // namespace removal
}  // namespace smcd
