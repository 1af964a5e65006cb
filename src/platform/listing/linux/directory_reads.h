#pragma once

// The Linux listing with the system's directory read passed in, so that a
// test can put a read that fails part-way in its place: no real device here
// returns EIO half-way through a directory.

#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "platform/listing/directory_listing.h"

namespace smcd::platform::linux_side {

// getdents64's contract: entries into `buffer`, the bytes filled, 0 at the
// end, -1 with errno set on failure.
using DirectoryRead = ssize_t (*)(int directory, void* buffer, std::size_t size);

int listEntriesReading(DirectoryRead read, int directory, ListingDetail detail, ListingCursor& cursor,
                       std::size_t room, std::vector<ListedEntry>& into, std::size_t& cost);

}  // namespace smcd::platform::linux_side
