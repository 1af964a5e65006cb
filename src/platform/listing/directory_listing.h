#pragma once

// Listing one open directory: each entry's name and type and, when asked
// for, a regular file's allocated size, in as few system calls as the
// platform allows; and opening a directory below one without crossing into
// another mount. Relative to the descriptor only: no path is looked up, and
// no symbolic link is followed (a link is listed as what it is).

#include <limits.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace smcd::platform {

enum class EntryKind : unsigned char {
    directory,
    regularFile,
    otherMount,  // the root of a mount (another file system, or a bind mount of this one): neither counted nor entered
    other,       // links, devices, sockets, pipes
    unknown,     // types not asked for, and the directory read did not say
};

struct ListedEntry {
    std::string name;
    EntryKind kind = EntryKind::unknown;
    std::int64_t allocatedBytes = 0;  // regular files, sizes asked for: saturated, never wrapped
};

// What one listed entry costs its holder while it waits to be handed out,
// and the most any entry can cost (a name of NAME_MAX bytes).
inline std::size_t listedCost(const ListedEntry& entry) { return sizeof(ListedEntry) + entry.name.size(); }
inline constexpr std::size_t kLargestListedCost = sizeof(ListedEntry) + NAME_MAX;

enum class ListingDetail {
    names,           // the kind as far as the directory read tells it for free
    kindsAndSizes,   // every kind known, regular files with their allocated size
};

// Where a listing goes on after a batch; opaque to the caller.
struct ListingCursor {
    std::int64_t position = 0;
    bool resumed = false;
    bool atEnd = false;
};

// Appends to `into` the entries ("." and ".." never) of the directory open
// at `directory`, from `cursor` on, while `cost`
// (the listedCost of what it appended) stays within `room`, until the
// listing ends; `cursor` then says where to go on. A room below
// kLargestListedCost, which might not take the next entry, is ENOMEM. An
// entry that vanishes or cannot be examined between the read and its
// examination is skipped. Returns 0, or the errno of a read that failed;
// then the listing is not at its end, whatever it appended before. The
// descriptor is neither moved elsewhere nor closed, but the listing reads
// through it: it must be given to no other reader meanwhile.
int listEntries(int directory, ListingDetail detail, ListingCursor& cursor, std::size_t room,
                std::vector<ListedEntry>& into, std::size_t& cost);

// Opens the directory `name` below the open directory `parent` for reading,
// close-on-exec, without following a link, and only if it lies on the same
// mount: the root of a mount, another file system or a bind mount of this
// one, fails with EXDEV. A descriptor, or -1 with errno set.
int openDirectoryWithin(int parent, const char* name);

}  // namespace smcd::platform
