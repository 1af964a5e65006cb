#pragma once

// Soak clients that speak the wire protocol by hand: one that pipelines
// bursts of calls and proves each is answered exactly once, in order, with
// nothing after the last; one that misbehaves (half frames, garbage, unknown
// selectors, hanging up at once) and proves that only its own connection
// suffers.

#include "mixed_workload.h"

namespace smcd::soak {

void runPipelinedClient(const ClientPlan& plan, Tally& tally);
void runMisbehavingClient(const ClientPlan& plan, Tally& tally);

}  // namespace smcd::soak
