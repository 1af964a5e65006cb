#pragma once

// Moving an item to the Trash, the way the platform's file manager does it.
// The item is named by an open directory and an entry in it, so that the
// caller decides how that directory was reached (without following links)
// and nothing here re-walks a path that could have changed meanwhile.

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "common/expected.h"

namespace smcd::platform {

// An errno-style code and a text a person can read; the code goes to the log,
// the text to the client.
struct TrashFailure {
    enum class Kind {
        notMoved,  // a Trash was there but the move failed; the item stays where it was
        noTrash,   // no Trash of this user can be made or used for the item's file system
    };
    int code = 0;
    std::string description;
    Kind kind = Kind::notMoved;
    bool operator==(const TrashFailure&) const = default;
};

class TrashCan {
public:
    virtual ~TrashCan() = default;

    // Moves the entry `leaf` of the directory open at `parentDirectory` into
    // the Trash. A symbolic link is moved as the link itself. `originalPath`
    // is the path under which the caller knows the item; it is what the Trash
    // records as the item's origin when the directory's own path is unknown.
    virtual Expected<void, TrashFailure> moveToTrash(int parentDirectory, std::string_view leaf,
                                                     std::string_view originalPath) = 0;
};

// The Trash of the user `owner`, for one request: the one that user's own
// file manager shows. Everything of it that lies where the user has a say
// is made, opened and written with the user's own rights, never the
// daemon's, and nothing there is made for them that they could not have
// made; only the move of the item itself is the daemon's, from the
// descriptor of its folder into the Trash's. The daemon's own Trash (owner
// the daemon's user) is closed to everyone else. Each Trash directory is
// opened at its first item and kept open until the object goes, however
// many items follow.
std::unique_ptr<TrashCan> trashOf(uid_t owner);

}  // namespace smcd::platform
