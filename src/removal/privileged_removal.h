#pragma once

// The removal contract as a whole: the families and their roots, screening,
// and the launchd request shape. Each part has its own header; include the
// one you need.

#include "removal/families_and_roots.h"
#include "removal/launchd_shape.h"
#include "removal/screening.h"
