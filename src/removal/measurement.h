#pragma once

// How much the screened paths of a request hold: allocated bytes and the
// number of regular files below each one. Measuring never changes anything.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "common/expected.h"

namespace smcd::removal {

struct Measurement {
    std::string path;  // exactly as the client sent it
    std::int64_t bytes = 0;
    std::int64_t fileCount = 0;
    bool refused = false;
    bool operator==(const Measurement&) const = default;
};

// Keys "path", "bytes", "fileCount", "refused", all four always written.
void to_json(nlohmann::ordered_json& json, const Measurement& measurement);

// (bytes, fileCount) of the regular files below `path`: every level, hidden
// entries included, each hard link counted, symbolic links neither followed
// nor counted, mounts neither entered nor counted, unreadable parts skipped,
// the path itself never counted. Both sums saturate at the largest signed
// 64-bit value instead of wrapping. The walk draws on `owner`'s shares of the
// walk pools; when a part of the tree was left unread for want of a
// descriptor or of memory, the errno of that (EMFILE, ENFILE, ENOMEM) and no
// number: a number is only ever what was counted.
Expected<std::pair<std::int64_t, std::int64_t>, int> measureTree(std::string_view path, uid_t owner);

// One record per distinct path (canonical equivalence), in the order of first
// occurrence, each handed to `each` as soon as it is measured; a path that
// screening refuses for `owner`, or whose tree could not be read whole for
// want of a descriptor or of memory, is logged and kept in its place with
// zero totals, marked refused. Once `stop` is requested no further path is
// handled.
// `each` answers whether the request still wants the next path (false when
// its reply cannot take the record): no further path is handled after false.
void measurePaths(const std::vector<std::string>& paths, uid_t owner, const std::function<bool(Measurement)>& each,
                  std::stop_token stop = {});
std::vector<Measurement> measurePaths(const std::vector<std::string>& paths, uid_t owner);

}  // namespace smcd::removal
