#pragma once

namespace smcd {

// Ends the process with status 0 about 0.2 seconds from now, from a thread of
// its own, while every other thread keeps serving until then. The end skips
// static destructors: other threads may still be using what they would tear
// down.
void exitSoon();

// Ends the process at once with the given status, skipping static destructors.
[[noreturn]] void exitNow(int status);

}  // namespace smcd
