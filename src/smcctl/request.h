#pragma once

// Which call of the protocol a command stands for, with its arguments
// checked against the method's types before anything is sent.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/linux/wire.h"
#include "protocol/vornik_fan_control_protocol.h"
#include "smcctl/options.h"
#include "smcctl/output.h"

namespace smcd::smcctl {

// How a reply is shown: `values` (for `call`) is the reply block's values as JSON.
enum class Shown { text, records, status, boolean, count, values };

struct Request {
    protocol::Method method;
    std::vector<platform::ipc::WireValue> arguments;
    Shown shown = Shown::values;
    Records records = Records::fans;  // the table of a `records` reply
};

struct Family {
    std::string_view name;  // the family's raw value
    protocol::Method method;
    bool choosesPermanence;  // whether the client says Trash or permanent
};
std::span<const Family> removalFamilies();

// Throws UsageError for an unknown command, or arguments it cannot take.
Request requestFor(const std::string& command, std::span<const std::string> args, Permanence permanence);

// The call of `selector` with the JSON array `arguments`, or the UsageError
// naming the selector or the argument that does not fit.
Request checkedCall(std::string_view selector, std::string_view arguments);

}  // namespace smcd::smcctl
