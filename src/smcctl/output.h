#pragma once

// How smcctl shows replies: tables for people, or the exact reply with --json.

#include <string>

#include "client/client.h"

namespace smcd::smcctl {

enum class Records { fans, maintenance, removal, measurement };

std::string statusJSON(const client::Status& status);
std::string countJSON(const client::Count& count);

// A reply's JSON record list as a table; text that is not such a list as is.
std::string recordTable(Records kind, const std::string& data);
std::string statusText(const client::Status& status);

}  // namespace smcd::smcctl
