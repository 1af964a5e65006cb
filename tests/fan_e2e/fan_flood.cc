// A user who keeps the fan engine busy: many connections, each sending one
// manual fan request after another for as long as it is connected.
//
//   fan_flood SOCKET CONNECTIONS INDEX RPM
//
// Prints "connected" once every connection is made.

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "client/client.h"

int main(int argc, char** argv) {
    if (argc != 5) return 64;
    std::vector<smcd::client::Client> clients;
    for (int i = 0; i < std::atoi(argv[2]); ++i) {
        auto connection = smcd::client::Client::connect(argv[1]);
        if (!connection.has_value()) return 2;
        clients.push_back(std::move(connection.value()));
    }
    std::printf("connected\n");
    std::fflush(stdout);
    std::vector<std::thread> threads;
    for (auto& client : clients) {
        threads.emplace_back([&client, fan = std::atoll(argv[3]), rpm = std::atoll(argv[4])] {
            while (client.setFan(fan, true, rpm).has_value()) {
            }
        });
    }
    for (auto& thread : threads) thread.join();
}
