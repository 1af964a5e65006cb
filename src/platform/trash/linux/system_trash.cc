#include "platform/trash/linux/freedesktop_trash.h"
#include "platform/trash/trash_can.h"

namespace smcd::platform {

std::unique_ptr<TrashCan> trashOf(uid_t owner) { return std::make_unique<FreedesktopTrash>(owner); }

}  // namespace smcd::platform
