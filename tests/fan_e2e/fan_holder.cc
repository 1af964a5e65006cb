// A client process that stays connected: it sets one fan and then waits to
// be killed, like an app that holds a fan in manual mode.
//
//   fan_holder SOCKET INDEX RPM
//
// Prints "set true" or "set false MESSAGE" once its call is answered.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "client/client.h"

int main(int argc, char** argv) {
    if (argc != 4) return 64;
    auto connection = smcd::client::Client::connect(argv[1]);
    if (!connection.has_value()) return 2;
    const auto status = connection.value().setFan(std::atoll(argv[2]), true, std::atoll(argv[3]));
    if (!status.has_value()) return 2;
    std::printf("set %s %s\n", status.value().success ? "true" : "false", status.value().message.value_or("").c_str());
    std::fflush(stdout);
    for (;;) ::pause();
}
