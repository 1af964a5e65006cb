#pragma once

// The Trash as freedesktop.org desktops keep it: the owner's home Trash
// (<home>/.local/share/Trash) for items on the home's file system, otherwise
// a `.Trash-<uid>` directory at the top of the item's own file system. Each
// item gets a `.trashinfo` record, written first and exclusively so that two
// items never share a name, and is then moved by rename; nothing is copied.
// Another user's Trash is made, opened and written with that user's own
// identity, so that it is theirs as if their own file manager had made it;
// the daemon's own Trash is closed to everyone else.

#include <sys/types.h>

#include <memory>

#include "platform/credentials/user_account.h"
#include "platform/trash/trash_can.h"

namespace smcd::platform {

class FreedesktopTrash final : public TrashCan {
public:
    // The Trash of `owner`, whose account comes from the user database at
    // the first item.
    explicit FreedesktopTrash(uid_t owner);
    // The Trash of a given account; with an empty home every item goes to
    // its file system's Trash. The account's user owns every directory used.
    explicit FreedesktopTrash(UserAccount account);
    ~FreedesktopTrash() override;
    FreedesktopTrash(const FreedesktopTrash&) = delete;
    FreedesktopTrash& operator=(const FreedesktopTrash&) = delete;

    Expected<void, TrashFailure> moveToTrash(int parentDirectory, std::string_view leaf,
                                             std::string_view originalPath) override;

private:
    struct State;  // the account and the Trash directories kept open between items
    std::unique_ptr<State> state_;
};

}  // namespace smcd::platform
