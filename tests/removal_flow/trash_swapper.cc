// A peer racing the daemon while it makes her Trash: watches DIRECTORY and,
// whenever an entry NAME appears there, exchanges it at once with DECOY,
// a folder of the same directory.
//
//   trash_swapper DIRECTORY NAME DECOY
//
// Prints "ready" once it watches, then "swapped" for each exchange made.

#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 4) return 64;
    const int directory = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int watch = ::inotify_init1(IN_CLOEXEC);
    if (directory < 0 || watch < 0 || ::inotify_add_watch(watch, argv[1], IN_CREATE) < 0) return 1;
    std::puts("ready");
    std::fflush(stdout);
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t length = ::read(watch, events, sizeof events);
        if (length <= 0) return 1;
        for (const char* at = events; at < events + length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            if (event->len > 0 && std::strcmp(event->name, argv[2]) == 0 &&
                ::renameat2(directory, argv[2], directory, argv[3], RENAME_EXCHANGE) == 0) {
                std::puts("swapped");
                std::fflush(stdout);
            }
            at += sizeof(inotify_event) + event->len;
        }
    }
}
