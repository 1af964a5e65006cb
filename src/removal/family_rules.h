#pragma once

// The last step of screening: whether a path that already passed the common
// checks belongs to the family. Not offered on its own, since without those
// checks it would accept paths through links and unstandardized spellings.

#include <string_view>

#include "removal/families_and_roots.h"

namespace smcd::removal::rules {

bool familyAccepts(std::string_view path, Target target);

bool touchesActivePowerLogDatabase(std::string_view path);
bool hasShaderCacheShape(std::string_view path);
bool isPerUserApplicationsFolder(std::string_view directory);
bool isPerUserLibraryItem(std::string_view path);

}  // namespace smcd::removal::rules
