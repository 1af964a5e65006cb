#pragma once

#include <ostream>

#include <nlohmann/json.hpp>

#include "maintenance/maintenance_tasks.h"

namespace smcd {

// Lets failing expectations show a record as its JSON instead of raw bytes.
inline void PrintTo(const MaintenanceResult& result, std::ostream* out) {
    *out << nlohmann::ordered_json(result).dump();
}

}  // namespace smcd
