#include "fan/guardian_link.h"

#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "fan/fan_guardian.h"
#include "platform/smc/smc_user_client.h"
#include "smcd/product_facts.h"

namespace smcd {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;  // SIGPIPE is ignored process-wide from main's first line
#endif

}  // namespace

std::string fanGuardianPostName() {
    return std::string(product_facts::kServiceName) + ".fan-guardian." + platform::appleSMCIdentity();
}

namespace guardian_link {

bool send(int link, char byte) {
    for (;;) {
        const ssize_t sent = ::send(link, &byte, 1, kNoSignal);
        if (sent == 1) return true;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }
}

std::optional<char> receive(int link) {
    for (;;) {
        char byte = 0;
        const ssize_t got = ::recv(link, &byte, 1, 0);
        if (got == 1) return byte;
        if (got < 0 && errno == EINTR) continue;
        return std::nullopt;
    }
}

}  // namespace guardian_link
}  // namespace smcd
