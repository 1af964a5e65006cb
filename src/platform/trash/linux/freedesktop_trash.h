#pragma once

// The Trash as freedesktop.org desktops keep it: the owner's home Trash
// (<home>/.local/share/Trash) for items on the home's file system, otherwise
// a `.Trash-<uid>` directory at the top of the item's own file system. Each
// item gets a `.trashinfo` record, written first and exclusively so that two
// items never share a name, and is then moved by rename; nothing is copied.
// What the daemon creates there (directories, records) belongs to the owner,
// as if the owner had trashed the item with their own file manager.

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/trash/trash_can.h"

namespace smcd::platform {

class FreedesktopTrash final : public TrashCan {
public:
    // The Trash of `owner`, whose home and group come from the user database
    // at the first item.
    explicit FreedesktopTrash(uid_t owner);
    // A given home (empty when there is none: every item then goes to its
    // file system's Trash); `owner` names the `.Trash-<owner>` directories
    // and must own every Trash directory used; what is created gets `group`.
    FreedesktopTrash(std::string home, uid_t owner, gid_t group);
    ~FreedesktopTrash() override;
    FreedesktopTrash(const FreedesktopTrash&) = delete;
    FreedesktopTrash& operator=(const FreedesktopTrash&) = delete;

    struct Account {
        std::string home;
        gid_t group = 0;
    };
    // The home directory and group of `uid` from the user database; nothing
    // when it has no entry or no absolute home. The environment is not
    // consulted: the daemon has no settings.
    static std::optional<Account> accountOf(uid_t uid);

    Expected<void, TrashFailure> moveToTrash(int parentDirectory, std::string_view leaf,
                                             std::string_view originalPath) override;

private:
    struct State;  // the account and the Trash directories kept open between items
    std::unique_ptr<State> state_;
};

}  // namespace smcd::platform
