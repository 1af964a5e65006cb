#pragma once

// The Trash as freedesktop.org desktops keep it: the user's home Trash
// (<home>/.local/share/Trash) for items on the home's file system, otherwise
// a `.Trash-<uid>` directory at the top of the item's own file system. Each
// item gets a `.trashinfo` record, written first and exclusively so that two
// items never share a name, and is then moved by rename; nothing is copied.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/trash/trash_can.h"

namespace smcd::platform {

class FreedesktopTrash final : public TrashCan {
public:
    // `home` is the owner's home directory (empty when there is none: every
    // item then goes to its file system's Trash); `owner` names the
    // `.Trash-<owner>` directories and must own every Trash directory used.
    FreedesktopTrash(std::string home, uid_t owner);

    // The home directory of `uid` from the user database, or "" when it has
    // none. The environment is not consulted: the daemon has no settings.
    static std::string homeOf(uid_t uid);

    Expected<void, TrashFailure> moveToTrash(int parentDirectory, std::string_view leaf,
                                             std::string_view originalPath) override;

private:
    std::string home_;
    uid_t owner_;
};

}  // namespace smcd::platform
