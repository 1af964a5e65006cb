#pragma once

// Everything of launchd job control in one include: screening a toggle
// request and carrying it out.

#include "launchd/launchd_domain.h"
#include "launchd/launchd_outcome.h"
#include "launchd/launchd_screening.h"
#include "launchd/launchd_toggle.h"
#include "launchd/plist_inspection.h"
