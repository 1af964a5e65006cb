#include "platform/log/daemon_log.h"

namespace smcd {

const platform::Logger& daemonLog() {
    static const platform::Logger logger("com.brackenmill.vornik", "daemon", platform::platformLogSink());
    return logger;
}

}  // namespace smcd
