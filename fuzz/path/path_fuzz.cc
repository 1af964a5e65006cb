// libFuzzer target for path standardization and the lexical check. The first
// byte chooses what "exists" answers during standardization; the rest is the
// path. Invariants, none of which needs a second standardizer:
//  - an absolute standard form holds plain names only and standardizes to
//    itself, but for one more "/private" dropped;
//  - the lexical check accepts exactly the NUL-free, valid UTF-8, absolute
//    paths of plain names no longer than the kernel takes (in the whole and
//    name by name), and what it accepts is its own standard form (or that
//    form behind "/private"), which it accepts too.

#include "common/limits.h"
#include "common/unicode.h"
#include "platform/path/path_components.h"
#include "platform/path/standardized_path.h"
#include "removal/screening.h"
#include "support/fuzz_input.h"

namespace {

using smcd::fuzz::plainNamesOnly;
using smcd::fuzz::violated;
using smcd::platform::standardizingPath;

std::optional<std::string> homeOf(std::string_view user) {
    if (user.empty()) return "/Users/ann";
    if (user == "bob") return "/Users/bob/";
    if (user == "rel") return "relative/home";
    if (user == "dots") return "/a/../b/.";
    return std::nullopt;
}

bool fitsTheKernel(std::string_view path) {
    std::size_t longestName = 0;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        longestName = std::max(longestName, end - start);
        start = end + 1;
    }
    return path.size() <= smcd::limits::kMaxPathBytes && longestName <= smcd::limits::kMaxNameBytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view path(reinterpret_cast<const char*>(data) + 1, size - 1);
    const smcd::platform::PathLookups lookups{homeOf, [world = data[0] % 3](const std::string& p) {
        return world == 0 || (world == 1 && p.size() % 2 == 0);
    }};
    static_cast<void>(smcd::platform::pathComponents(path));

    const std::string standard = standardizingPath(path, lookups);
    if (!standard.empty() && standard.front() == '/') {
        if (!plainNamesOnly(standard)) violated("an absolute standard form holds plain names only", standard);
        const std::string again = standardizingPath(standard, lookups);
        if (again != standard && "/private" + again != standard) violated("a standard form standardizes to itself", standard);
    }

    const bool accepted = smcd::removal::isCanonicalAbsolute(path);
    const bool clean = path.find('\0') == std::string_view::npos && smcd::unicode::isValidUtf8(path) &&
                       plainNamesOnly(path) && fitsTheKernel(path);
    if (accepted != clean) violated("the lexical check accepts exactly the plain absolute text", path);
    if (!accepted) return 0;
    const std::string systemStandard = standardizingPath(path);
    if (systemStandard != path && "/private" + systemStandard != path) violated("an accepted path is its own standard form");
    if (!smcd::removal::isCanonicalAbsolute(systemStandard)) violated("the standard form of an accepted path is accepted");
    return 0;
}
