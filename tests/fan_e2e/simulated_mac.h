#pragma once

// A simulated Mac for end-to-end fan tests: smc-sim on the daemon's
// compiled-in AppleSMC socket, then smcd. Only ever inside the test
// sandbox, where /var/run is private.

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/client.h"
#include "fan/fan_capability.h"
#include "platform/smc/smc_socket_wire.h"
#include "support/daemon.h"
#include "support/process.h"
#include "support/sim_process.h"

namespace smcd::test {

inline const std::string kSimControlPath = "/var/run/AppleSMC.control.socket";

inline bool insideSandbox() {
    const char* flag = std::getenv("SMCD_IN_SANDBOX");
    return flag && std::string(flag) == "1";
}

inline std::unique_ptr<SimProcess> startSimulator(const std::string& profile, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--profile", profile});
    return std::make_unique<SimProcess>(platform::kAppleSMCSocketPath, kSimControlPath, std::move(extra));
}

struct SimulatedMac {
    explicit SimulatedMac(const std::string& profile = "apple-silicon-laptop", std::vector<std::string> extra = {})
        : sim(startSimulator(profile, std::move(extra))), daemon(std::make_unique<Daemon>()) {
        settle();
    }

    std::string control(const std::string& line) const { return sim->command(line); }

    // Attempted user-client writes of `key` so far.
    int writeAttempts(const std::string& key) const {
        const auto reply = control("writes " + key);
        return reply.rfind("ok ", 0) == 0 ? std::stoi(reply.substr(3)) : -1;
    }

    // Every connection that ends with none left hands the fans back, the
    // daemon's own start-up probe included. A hand-back still on its way
    // would undo a test's first manual setting, so wait until the one for
    // our own first connection has been written and the SMC has gone quiet.
    void settle() {
        {
            auto first = connect();
            if (!first.ping().ok()) throw std::runtime_error("the daemon does not answer");
        }
        const auto count = control("value FNum");
        const int fans = count.rfind("ok ", 0) == 0 ? std::stoi(count.substr(3)) : 0;
        const auto modeKey = "F" + std::to_string(fans - 1) + "Md";
        const auto lowerModeKey = "F" + std::to_string(fans - 1) + "md";
        if (fans > 0 && (control("read " + modeKey) != "error absent" ||
                         control("read " + lowerModeKey) != "error absent")) {
            const auto lastHandBackWrite = "F" + std::to_string(fans - 1) + "Tg";
            eventually([&] { return writeAttempts(lastHandBackWrite) >= 1; });
        }
        std::string before;
        std::string now = control("calls");
        do {
            before = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            now = control("calls");
        } while (now != before);
    }

    client::Client connect() const {
        auto connection = client::Client::connect(daemon->socketPath());
        if (!connection.ok()) throw std::runtime_error("cannot connect: " + connection.failure().reason);
        return std::move(connection.value());
    }

    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<Daemon> daemon;
};

inline std::vector<FanCapability> parseCapabilities(const std::string& json) {
    return nlohmann::json::parse(json).get<std::vector<FanCapability>>();
}

// A client process holding its connection open (fan_holder).
inline std::unique_ptr<ChildProcess> startHolder(const Daemon& daemon, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {std::string(SMCD_TEST_BINARY_DIR) + "/fan_holder", daemon.socketPath()});
    return std::make_unique<ChildProcess>(std::move(arguments));
}

inline bool holderAnswered(ChildProcess& holder) {
    return eventually([&] { return !holder.standardOutput().empty() || !holder.running(); },
                      std::chrono::seconds(60)) &&
           holder.running();
}

}  // namespace smcd::test
