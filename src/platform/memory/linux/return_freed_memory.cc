#include "platform/memory/return_freed_memory.h"

#include <malloc.h>

namespace smcd::platform {

// Every arena, not only the calling thread's; free pages inside the heaps are
// released too, not only the top of each.
void returnFreedMemory() { ::malloc_trim(0); }

}  // namespace smcd::platform
