#pragma once

// Which Trash an item goes to. The peer's own items go to the peer's own
// Trash, where the peer will look for them. Anything else, root's or another
// user's, goes to the daemon's own Trash, private to root, where the
// platform's Trash operation run by the daemon would put it: in a Trash the
// peer owns, the peer could take it anywhere, out of the folders that
// protected it.

#include <sys/types.h>

#include <string_view>

#include "platform/trash/trash_can.h"

namespace smcd::removal {

class WhoseTrash final : public platform::TrashCan {
public:
    WhoseTrash(uid_t peer, platform::TrashCan& peersTrash, platform::TrashCan& daemonsTrash)
        : peer_(peer), peersTrash_(peersTrash), daemonsTrash_(daemonsTrash) {}

    Expected<void, platform::TrashFailure> moveToTrash(int parentDirectory, std::string_view leaf,
                                                       std::string_view originalPath) override;

private:
    uid_t peer_;
    platform::TrashCan& peersTrash_;
    platform::TrashCan& daemonsTrash_;
};

}  // namespace smcd::removal
