// smc-sim: plays the kernel's AppleSMC service for the daemon on Linux.
// Usage and control commands: docs/SMC-SIMULATOR.md.

#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"
#include "smc-sim/machine.h"
#include "smc-sim/profiles.h"
#include "smc-sim/server.h"

namespace {

using smcd::UniqueFd;
namespace sim = smcd::smcsim;

constexpr int kUsageError = 64;

struct Options {
    const sim::Profile* profile = &sim::defaultProfile();
    sim::ServerPaths paths;
    std::optional<double> holdSeconds;
    int readyFd = -1;
    bool listProfiles = false;
};

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: smc-sim [--profile NAME] [--socket PATH] [--control PATH] [--hold SECONDS]\n"
                 "               [--ready-fd FD] [--list-profiles]\n"
                 "  --profile NAME   machine to play (default %s)\n"
                 "  --socket PATH    user-client socket (default %s)\n"
                 "  --control PATH   control socket (default %s)\n"
                 "  --hold SECONDS   how long the thermal manager keeps the fans after Ftst is raised (default 3.5)\n"
                 "  --ready-fd FD    write \"ready\\n\" to FD and close it once both sockets listen\n",
                 sim::defaultProfile().name.c_str(), smcd::platform::kAppleSMCSocketPath,
                 sim::kDefaultControlSocketPath);
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--list-profiles") {
            options.listProfiles = true;
            continue;
        }
        if (i + 1 >= argc) return std::nullopt;
        const std::string_view value = argv[++i];
        if (flag == "--profile") {
            options.profile = sim::findProfile(value);
            if (!options.profile) {
                std::fprintf(stderr, "smc-sim: unknown profile '%s' (see --list-profiles)\n", argv[i]);
                return std::nullopt;
            }
        } else if (flag == "--socket") {
            options.paths.socket = std::string(value);
        } else if (flag == "--control") {
            options.paths.control = std::string(value);
        } else if (flag == "--hold") {
            double seconds = 0;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (error != std::errc{} || end != value.data() + value.size() || !(seconds >= 0 && seconds <= 86400)) {
                return std::nullopt;
            }
            options.holdSeconds = seconds;
        } else if (flag == "--ready-fd") {
            int fd = -1;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), fd);
            if (error != std::errc{} || end != value.data() + value.size() || fd < 0) return std::nullopt;
            options.readyFd = fd;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        printUsage(stdout);
        return 0;
    }
    const auto options = parse(argc, argv);
    if (!options) {
        printUsage(stderr);
        return kUsageError;
    }
    // Owned from here on, so that it is closed on every way out.
    UniqueFd ready(options->readyFd);
    if (ready && ::fcntl(ready.get(), F_SETFD, FD_CLOEXEC) < 0) {
        std::fprintf(stderr, "smc-sim: --ready-fd %d is not open\n", options->readyFd);
        return kUsageError;
    }
    if (options->listProfiles) {
        for (const auto& profile : sim::profiles()) {
            std::printf("%s\t%s\n", profile.name.c_str(), profile.description.c_str());
        }
        return 0;
    }

    // Termination arrives as a readable descriptor, so the loop can stop
    // between two answers and the sockets are removed on the way out.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, &stopSignals, nullptr) < 0) return 1;
    UniqueFd stop(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (!stop) {
        std::perror("smc-sim: signalfd");
        return 1;
    }

    sim::Machine machine(*options->profile);
    if (options->holdSeconds) {
        machine.setHoldTime(std::chrono::milliseconds(std::llround(*options->holdSeconds * 1000)));
    }
    auto started = sim::Server::start(machine, options->paths);
    if (!started) {
        std::fprintf(stderr, "smc-sim: %s\n", sim::describe(started.error()).c_str());
        return 1;
    }
    auto& server = *started;
    std::fprintf(stderr, "smc-sim: playing %s on %s (control %s)\n", options->profile->name.c_str(),
                 options->paths.socket.c_str(), options->paths.control.c_str());
    if (ready) {
        static constexpr char kReady[] = "ready\n";
        if (::write(ready.get(), kReady, sizeof(kReady) - 1) < 0) {
            std::perror("smc-sim: --ready-fd");
        }
        ready.reset();
    }
    server->run(stop.get());
    server.reset();
    return 0;
}
