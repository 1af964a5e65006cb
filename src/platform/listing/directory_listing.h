#pragma once

// Listing one open directory: each entry's name and type and, when asked
// for, a regular file's allocated size, in as few system calls as the
// platform allows. Relative to the descriptor only: no path is looked up,
// and no symbolic link is followed (a link is listed as what it is).

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

namespace smcd::platform {

enum class EntryKind : unsigned char {
    directory,
    regularFile,
    otherMount,  // a file of another mounted file system (a bind mount): neither counted nor entered
    other,       // links, devices, sockets, pipes
    unknown,     // types not asked for, and the directory read did not say
};

struct ListedEntry {
    std::string name;
    EntryKind kind = EntryKind::unknown;
    std::int64_t allocatedBytes = 0;  // regular files, sizes asked for: saturated, never wrapped
};

enum class ListingDetail {
    names,           // the kind as far as the directory read tells it for free
    kindsAndSizes,   // every kind known, regular files with their allocated size
};

// Where a listing goes on after a batch; opaque to the caller.
struct ListingCursor {
    long position = 0;
    bool atEnd = false;
};

// Hands the entries ("." and ".." never) of the directory open at
// `directory`, which lies on `device`, from `cursor` on to `take`, which
// keeps each and says whether to go on, until it says no or the listing
// ends; `cursor` then says where to go on after the last one taken. An
// entry that vanishes or cannot be examined between the read and its
// examination is skipped. Returns 0, or the errno of a listing that could
// not be started or a read that failed; then the listing is not at its end. The
// directory's own descriptor is neither moved nor closed.
int listEntries(int directory, dev_t device, ListingDetail detail, ListingCursor& cursor,
                const std::function<bool(ListedEntry&&)>& take);

}  // namespace smcd::platform
