#pragma once

// A simulated Mac for end-to-end fan tests: smc-sim on the daemon's
// compiled-in AppleSMC socket, then smcd. Only ever inside the test
// sandbox, where /var/run is private.

#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/client.h"
#include "platform/smc/linux/smc_socket_wire.h"
#include "smc-sim/server.h"
#include "support/daemon.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/sim_process.h"

namespace smcd::test {

inline std::unique_ptr<SimProcess> startSimulator(const std::string& profile, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--profile", profile});
    return std::make_unique<SimProcess>(platform::kAppleSMCSocketPath, smcsim::kDefaultControlSocketPath,
                                        std::move(extra));
}

// The pid of the fan guardian a daemon started (any of its threads may have),
// 0 while it has none: it is the daemon's child, not ours.
inline pid_t guardianPid(pid_t daemon) {
    const std::filesystem::path tasks = "/proc/" + std::to_string(daemon) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream children(task.path() / "children");
        if (pid_t guardian = 0; children >> guardian) return guardian;
    }
    return 0;
}

// That guardian watched through a pidfd: it outlives its daemon on purpose.
inline UniqueFd guardianOf(pid_t daemon) {
    const pid_t guardian = guardianPid(daemon);
    return guardian ? UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, guardian, 0))) : UniqueFd();
}

// Whether the watched process has ended within `limit`; it is reaped here
// when it was handed to us (see SimulatedMac).
inline bool endsWithin(const UniqueFd& process, std::chrono::milliseconds limit) {
    pollfd ended{process.get(), POLLIN, 0};
    if (!process || ::poll(&ended, 1, static_cast<int>(limit.count())) != 1) return false;
    siginfo_t info{};
    (void)::waitid(P_PIDFD, static_cast<id_t>(process.get()), &info, WEXITED | WNOHANG);
    return true;
}

struct SimulatedMac {
    explicit SimulatedMac(const std::string& profile = "apple-silicon-laptop", std::vector<std::string> extra = {},
                          Daemon::Options options = {})
        : sim(startSimulator(profile, std::move(extra))), options(options) {
        // A guardian whose daemon ended becomes ours to reap, not the system's.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        startDaemon();
    }
    // The daemon goes first, then its guardian's hand-back, then the SMC: no
    // test leaves a guardian behind.
    ~SimulatedMac() { stopDaemon(); }

    // Once its guardian stands, after any earlier one has let go of its post.
    void startDaemon() {
        daemon = std::make_unique<Daemon>(options);
        settle();
        const auto found = [&] { return (guardian = guardianOf(daemon->pid())).valid(); };
        EXPECT_TRUE(eventually(found, std::chrono::seconds(30)));
    }
    // Kills the daemon if it still runs; true once its guardian has ended too.
    bool stopDaemon() {
        daemon.reset();
        const bool ended = endsWithin(guardian, std::chrono::seconds(30));
        guardian.reset();
        return ended;
    }

    std::string control(const std::string& line) const { return sim->command(line); }
    // A key's value through the control channel, rounded; nothing when it cannot be read.
    std::optional<std::int64_t> value(const std::string& key) const {
        const auto reply = control("value " + key);
        if (reply.rfind("ok ", 0) != 0) return std::nullopt;
        return std::llround(std::stod(reply.substr(3)));
    }
    // Both fans of the two-fan profiles in automatic mode, with no target and "Ftst" released.
    bool allFansAutomatic() const {
        return value("F0Md") == 0 && value("F1Md") == 0 && value("Ftst") == 0 && value("F0Tg") == 0 &&
               value("F1Tg") == 0;
    }
    // Every connection that ends with none left hands the fans back, the
    // daemon's own start-up probe included. A hand-back still on its way
    // would undo a test's first manual setting, so wait until the one for
    // our own first connection has been written and the SMC has gone quiet.
    void settle() {
        if (!connect().ping().has_value()) throw std::runtime_error("the daemon does not answer");
        const auto lastFan = "F" + std::to_string(value("FNum").value_or(0) - 1);
        if (value(lastFan + "Md") || value(lastFan + "md")) {
            // "ok ATTEMPTS ACCEPTED": at least one attempted write of the target.
            eventually([&] { return control("writes " + lastFan + "Tg").find_first_of("123456789") == 3; });
        }
        for (std::string before, now = control("calls"); now != before;) {
            before = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            now = control("calls");
        }
    }

    client::Client connect() const {
        auto connection = client::Client::connect(daemon->socketPath());
        if (!connection.has_value()) throw std::runtime_error("cannot connect: " + connection.error().reason);
        return std::move(connection.value());
    }

    std::unique_ptr<SimProcess> sim;
    Daemon::Options options;
    std::unique_ptr<Daemon> daemon;
    UniqueFd guardian;
};

// A client process holding its connection open (fan_client), once its call has been answered.
inline std::unique_ptr<ChildProcess> startHolder(const Daemon& daemon, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {std::string(SMCD_TEST_BINARY_DIR) + "/fan_client", daemon.socketPath()});
    auto holder = std::make_unique<ChildProcess>(std::move(arguments));
    eventually([&] { return !holder->standardOutput().empty() || !holder->running(); }, std::chrono::seconds(60));
    return holder;
}

}  // namespace smcd::test
