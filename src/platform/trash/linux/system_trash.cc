#include <unistd.h>

#include "platform/trash/linux/freedesktop_trash.h"
#include "platform/trash/trash_can.h"

namespace smcd::platform {

TrashCan& systemTrash() {
    // The daemon runs as root and has no settings: its Trash is root's, found
    // through the user database once for the life of the process.
    static FreedesktopTrash trash(FreedesktopTrash::homeOf(::geteuid()), ::geteuid());
    return trash;
}

}  // namespace smcd::platform
