// Writes smcctl's man page or its bash completion to a file (the build's
// only use):  smcctl-documents man|bash FILE

#include <fcntl.h>
#include <sysexits.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "client/client.h"
#include "common/io.h"
#include "common/unique_fd.h"
#include "maintenance/maintenance_tasks.h"
#include "removal/families_and_roots.h"
#include "smcctl/documents.h"
#include "smcctl/request.h"
#include "smcd/product_facts.h"

namespace {

using namespace smcd;

// smcctl offers exactly the daemon's removal families.
bool sameFamilies() {
    std::size_t matched = 0;
    for (const auto& family : smcctl::removalFamilies()) matched += removal::targetFromRawValue(family.name) ? 1 : 0;
    std::size_t daemons = 0;
    for (auto target = removal::Target::appBundle;; target = removal::Target(int(target) + 1)) {
        ++daemons;
        if (target == removal::Target::rosettaCaches) break;
    }
    return matched == daemons && matched == smcctl::removalFamilies().size();
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> words(argv + 1, argv + argc);
    if (words.size() != 2 || (words[0] != "man" && words[0] != "bash")) {
        std::fprintf(stderr, "usage: smcctl-documents man|bash FILE\n");
        return EX_USAGE;
    }
    if (!sameFamilies()) {
        std::fprintf(stderr, "smcctl-documents: smcctl's removal families differ from the daemon's\n");
        return EX_SOFTWARE;
    }
    std::vector<std::string> taskIds;
    for (const auto& [id, command] : vornikAdminMaintenanceCommands()) taskIds.push_back(id);
    const std::string text = words[0] == "man"
                                 ? smcctl::manPage(product_facts::kDaemonVersion, client::defaultSocketPath(), taskIds)
                                 : smcctl::bashCompletion(taskIds);
    const UniqueFd file(::open(std::string(words[1]).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return file && io::writeAll(file.get(), text) ? EX_OK : EX_CANTCREAT;
}
