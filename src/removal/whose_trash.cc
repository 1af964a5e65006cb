#include "removal/whose_trash.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

namespace smcd::removal {

Expected<void, platform::TrashFailure> WhoseTrash::moveToTrash(int parentDirectory, std::string_view leaf,
                                                               std::string_view originalPath) {
    // The entry itself, through its folder and never through a link: a link
    // the peer owns is the peer's, whatever it points at. Only someone who
    // may rename entries of that folder can change what the name holds
    // before the move; what they put there keeps its owner and mode and
    // reaches no one else, so it is no more theirs than it was.
    const std::string name(leaf);
    struct stat item{};
    const bool peersOwn =
        ::fstatat(parentDirectory, name.c_str(), &item, AT_SYMLINK_NOFOLLOW) == 0 && item.st_uid == peer_;
    if (peersOwn) {
        auto moved = peersTrash_.moveToTrash(parentDirectory, leaf, originalPath);
        // The peer has no Trash that can take it (broken, no home, no way to
        // make one on that file system): the daemon's takes it, rather than
        // one the daemon would make for the peer.
        if (moved || moved.error().kind != platform::TrashFailure::Kind::noTrash) return moved;
    }
    return daemonsTrash_.moveToTrash(parentDirectory, leaf, originalPath);
}

}  // namespace smcd::removal
