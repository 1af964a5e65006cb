#include "daemon/process_exit.h"

#include <unistd.h>

#include <chrono>
#include <system_error>
#include <thread>

namespace smcd {

constexpr auto kExitDelay = std::chrono::milliseconds(200);

void exitNow(int status) { ::_exit(status); }

void exitSoon() {
    try {
        std::thread([] {
            std::this_thread::sleep_for(kExitDelay);
            exitNow(0);
        }).detach();
    } catch (const std::system_error&) {
        // Without a thread to wait on, leaving now is the closest to asked.
        std::this_thread::sleep_for(kExitDelay);
        exitNow(0);
    }
}

}  // namespace smcd
