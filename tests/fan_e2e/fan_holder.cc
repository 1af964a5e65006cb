// A client process that stays connected: it sets one fan (or only pings)
// and then waits to be killed, like an app that holds a fan in manual mode.
//
//   fan_holder SOCKET ping
//   fan_holder SOCKET INDEX RPM
//
// Prints "connected" or "set true" / "set false MESSAGE" once its call is answered.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/client.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) return 64;
    auto connection = smcd::client::Client::connect(argv[1]);
    if (!connection.has_value()) return 2;
    auto& client = connection.value();
    if (argc == 3) {
        if (std::string_view(argv[2]) != "ping" || !client.ping().has_value()) return 2;
        std::printf("connected\n");
    } else {
        const auto status = client.setFan(std::atoll(argv[2]), true, std::atoll(argv[3]));
        if (!status.has_value()) return 2;
        std::printf("set %s %s\n", status.value().success ? "true" : "false",
                    status.value().message.value_or("").c_str());
    }
    std::fflush(stdout);
    for (;;) ::pause();
}
