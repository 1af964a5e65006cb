// A client process that asks for a fan in manual mode, as an app does:
//
//   fan_client SOCKET INDEX RPM              sets the fan once, prints "set true" or
//                                            "set false MESSAGE", then holds its
//                                            connection open until it is killed
//   fan_client SOCKET INDEX RPM CONNECTIONS  a user who keeps the fan engine busy:
//                                            prints "connected" once that many
//                                            connections are made, then each asks
//                                            again and again while it is connected

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "client/client.h"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) return 64;
    const long long fan = std::atoll(argv[2]), rpm = std::atoll(argv[3]);
    std::vector<smcd::client::Client> clients;
    for (int i = 0; i < (argc == 5 ? std::atoi(argv[4]) : 1); ++i) {
        auto connection = smcd::client::Client::connect(argv[1]);
        if (!connection.has_value()) return 2;
        clients.push_back(std::move(connection.value()));
    }
    if (argc == 4) {
        const auto status = clients.front().setFan(fan, true, rpm);
        if (!status.has_value()) return 2;
        std::printf("set %s %s\n", status.value().success ? "true" : "false", status.value().message.value_or("").c_str());
        std::fflush(stdout);
        for (;;) ::pause();
    }
    std::printf("connected\n");
    std::fflush(stdout);
    std::vector<std::thread> threads;
    for (auto& client : clients) {
        threads.emplace_back([&client, fan, rpm] {
            while (client.setFan(fan, true, rpm).has_value()) {
            }
        });
    }
    for (auto& thread : threads) thread.join();
}
