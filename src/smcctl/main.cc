// smcctl: a command-line client of smcd, one command per protocol method.
// Exit status: 0 when a reply came, 2 when the daemon could not be reached or
// invalidated the connection, 64 for usage errors.

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "client/client.h"
#include "smcctl/output.h"

namespace {

using namespace smcd;
using client::Client;
using Args = std::vector<std::string>;

constexpr int kExitOK = 0;
constexpr int kExitUnavailable = 2;
constexpr int kExitUsage = 64;

constexpr std::string_view kUsage =
    "usage: smcctl [--socket PATH] [--json] COMMAND ...\n"
    "  ping | capabilities | reset-fans | background-items | network | terminate\n"
    "  set-fan INDEX manual RPM | set-fan INDEX auto\n"
    "  maintenance ID...\n"
    "  remove appBundle|supportFile [--trash|--permanent] PATH...\n"
    "  remove systemCache|systemLogs|gpuShaderCaches|rosettaCaches PATH...\n"
    "  launchd enable|disable LABEL PLIST\n"
    "  measure PATH...\n"
    "  delete-snapshots DAYS VOLUME\n"
    "  call SELECTOR [JSON-ARRAY-OF-ARGUMENTS]\n"
    "  raw   (bytes from standard input to the socket, bytes back to standard output)\n";

struct UsageError {
    std::string message;
};

struct Options {
    std::string socket = client::defaultSocketPath();
    bool json = false;
};

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::int64_t integerArgument(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) throw UsageError{"not an integer: " + text};
    return value;
}

template <class T>
int finish(client::Result<T>& result, const std::function<void(const T&)>& show) {
    if (!result.has_value()) {
        std::fprintf(stderr, "smcctl: %s\n", result.error().reason.c_str());
        return result.error().kind == client::FailureKind::badRequest ? kExitUsage : kExitUnavailable;
    }
    show(result.value());
    std::fflush(stdout);
    return kExitOK;
}

int showData(client::Result<std::string> result, const Options& options, smcctl::Records kind) {
    return finish<std::string>(result, [&](const std::string& data) {
        print(options.json ? data + "\n" : smcctl::recordTable(kind, data));
    });
}

int showText(client::Result<std::string> result) {
    return finish<std::string>(result, [](const std::string& text) {
        print(text);
        if (text.empty() || text.back() != '\n') print("\n");
    });
}

int showStatus(client::Result<client::Status> result, const Options& options) {
    return finish<client::Status>(result, [&](const client::Status& status) {
        print(options.json ? smcctl::statusJSON(status) + "\n" : smcctl::statusText(status));
    });
}

int raw(const Options& options) {
    auto connected = Client::connect(options.socket);
    if (!connected.has_value()) return finish<Client>(connected, [](const Client&) {});
    const int fd = connected.value().socket();
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t sent = 0; sent < n;) {
            const ssize_t m = ::send(fd, buffer + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
            if (m < 0 && errno == EINTR) continue;
            if (m <= 0) break;
            sent += m;
        }
    }
    ::shutdown(fd, SHUT_WR);
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout);
    }
    std::fflush(stdout);
    return kExitOK;
}

int run(const Options& options, const std::string& command, const Args& args) {
    auto need = [&](std::size_t count, bool atLeast = false) {
        if (atLeast ? args.size() < count : args.size() != count) throw UsageError{"wrong arguments for " + command};
    };
    if (command == "raw") return need(0), raw(options);

    auto connected = Client::connect(options.socket);
    if (!connected.has_value()) return finish<Client>(connected, [](const Client&) {});
    Client& c = connected.value();
    using smcctl::Records;

    if (command == "ping") return need(0), showText(c.ping());
    if (command == "capabilities") return need(0), showData(c.capabilities(), options, Records::fans);
    if (command == "reset-fans") return need(0), showStatus(c.resetAllToAuto(), options);
    if (command == "background-items") return need(0), showText(c.dumpBackgroundItems());
    if (command == "network") return need(0), showText(c.systemNetworkConnections());
    if (command == "terminate") {
        need(0);
        auto result = c.terminateForUpdate();
        return finish<bool>(result, [](bool value) { print(value ? "true\n" : "false\n"); });
    }
    if (command == "set-fan") {
        need(2, true);
        const std::int64_t index = integerArgument(args[0]);
        if (args[1] == "auto" && args.size() == 2) return showStatus(c.setFan(index, false, 0), options);
        if (args[1] == "manual" && args.size() == 3)
            return showStatus(c.setFan(index, true, integerArgument(args[2])), options);
        throw UsageError{"set-fan INDEX manual RPM | set-fan INDEX auto"};
    }
    if (command == "maintenance") return showData(c.runMaintenance(args), options, Records::maintenance);
    if (command == "measure") return showData(c.measurePrivilegedPaths(args), options, Records::measurement);
    if (command == "launchd") {
        need(3);
        if (args[0] != "enable" && args[0] != "disable") throw UsageError{"launchd enable|disable LABEL PLIST"};
        return showStatus(c.setLaunchdItem(args[1], args[2], args[0] == "enable"), options);
    }
    if (command == "delete-snapshots") {
        need(2);
        auto result = c.deleteLocalSnapshots(integerArgument(args[0]), args[1]);
        return finish<client::Count>(result, [&](const client::Count& count) {
            print(options.json ? smcctl::countJSON(count) + "\n"
                               : std::to_string(count.count) + " removed: " + count.message + "\n");
        });
    }
    if (command == "remove") {
        need(1, true);
        const std::string& family = args[0];
        Args paths(args.begin() + 1, args.end());
        const bool chooses = family == "appBundle" || family == "supportFile";
        bool permanent = false;  // the Trash unless asked otherwise: the undoable choice
        if (!paths.empty() && (paths[0] == "--trash" || paths[0] == "--permanent")) {
            if (!chooses) throw UsageError{family + " is always removed permanently and takes no flag"};
            permanent = paths[0] == "--permanent";
            paths.erase(paths.begin());
        }
        if (family == "appBundle") return showData(c.removeAppBundles(paths, permanent), options, Records::removal);
        if (family == "supportFile") return showData(c.removeSupportPaths(paths, permanent), options, Records::removal);
        if (family == "systemCache") return showData(c.removeSystemCachePaths(paths), options, Records::removal);
        if (family == "systemLogs") return showData(c.removeSystemLogPaths(paths), options, Records::removal);
        if (family == "gpuShaderCaches") return showData(c.removeGPUShaderCachePaths(paths), options, Records::removal);
        if (family == "rosettaCaches") return showData(c.removeRosettaCachePaths(paths), options, Records::removal);
        throw UsageError{"unknown family " + family};
    }
    if (command == "call") {
        need(1, true);
        if (args.size() > 2) throw UsageError{"call SELECTOR [JSON-ARRAY-OF-ARGUMENTS]"};
        const auto arguments = nlohmann::json::parse(args.size() == 2 ? args[1] : "[]", nullptr, false);
        if (!arguments.is_array()) throw UsageError{"the arguments must be one JSON array"};
        auto result = c.callUnchecked(args[0], arguments);
        return finish<nlohmann::json>(result, [](const nlohmann::json& values) {
            print(values.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        });
    }
    throw UsageError{"unknown command " + command};
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    Args words(argv + 1, argv + argc);
    std::size_t i = 0;
    try {
        for (; i < words.size() && words[i].starts_with("--"); ++i) {
            if (words[i] == "--json") {
                options.json = true;
            } else if (words[i] == "--socket" && i + 1 < words.size()) {
                options.socket = words[++i];
            } else {
                throw UsageError{"unknown option " + words[i]};
            }
        }
        if (i >= words.size()) throw UsageError{"no command"};
        return run(options, words[i], Args(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, words.end()));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "smcctl: %s\n%.*s", error.message.c_str(), static_cast<int>(kUsage.size()), kUsage.data());
        return kExitUsage;
    }
}
