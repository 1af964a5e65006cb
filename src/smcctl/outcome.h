#pragma once

// What a reply means to a script (the exit status) and to a person (what
// smcctl prints), the same for a named command and for `call`.

#include <string>
#include <vector>

#include "platform/ipc/linux/wire.h"
#include "smcctl/request.h"

namespace smcd::smcctl {

// Whether the reply says its request failed: a false status or boolean, a
// record with `removed` false, `refused` true or `ok` false, or a count of
// nothing (no snapshot deleted). Text and other data say nothing of failure.
bool replySaysFailure(const std::vector<platform::ipc::WireValue>& values);

// The reply as smcctl prints it, ending in a newline.
std::string shownReply(const Request& request, const std::vector<platform::ipc::WireValue>& values, bool json);

}  // namespace smcd::smcctl
