// The daemon's IPC cost: ping round trips against a raw Unix-socket echo of
// the same bytes, throughput with 1 and 16 clients, cold start to first reply,
// idle resident memory, the peak memory a large request costs against the
// size of its reply, and what one hostile 16 MiB request writes to the log.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "common/limits.h"
#include "common/unique_fd.h"
#include "platform/ipc/linux/wire.h"
#include "support/report.h"

namespace {

using Clock = std::chrono::steady_clock;
using smcd::UniqueFd;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

UniqueFd listenAt(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = addressOf(path);
    ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    ::listen(fd.get(), SOMAXCONN);
    return fd;
}

UniqueFd connectTo(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = addressOf(path);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return UniqueFd();
    return fd;
}

// A socket-activated smcd on a private socket; its log goes to `log`.
struct Daemon {
    pid_t pid = -1;
    std::string socket;
    explicit Daemon(const std::string& directory, const std::string& log = "/dev/null")
        : socket(directory + "/smcd.socket") {
        UniqueFd listening = listenAt(socket);
        pid = ::fork();
        if (pid == 0) {
            // dup2 onto itself keeps close-on-exec, so clear it explicitly.
            if (listening.get() == 3) ::fcntl(3, F_SETFD, 0);
            else ::dup2(listening.get(), 3);
            // Never the report's own streams: the accept lines would drown it.
            const int logged = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(logged, STDERR_FILENO);
            const std::string self = "LISTEN_PID=" + std::to_string(::getpid());
            const std::string smcd = std::string(SMCD_BINARY_DIR) + "/smcd";
            char* env[] = {const_cast<char*>(self.c_str()), const_cast<char*>("LISTEN_FDS=1"), nullptr};
            char* argv[] = {const_cast<char*>(smcd.c_str()), nullptr};
            ::execve(argv[0], argv, env);
            ::_exit(127);
        }
    }
    ~Daemon() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

void echoServer(int listening, std::atomic<bool>& stop) {
    UniqueFd peer(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
    char buffer[4096];
    while (!stop) {
        const ssize_t n = ::recv(peer.get(), buffer, sizeof(buffer), 0);
        if (n <= 0) return;
        ::send(peer.get(), buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
    }
}

double echoRoundTrip(const std::string& directory, std::size_t bytes, int rounds) {
    const std::string path = directory + "/echo.socket";
    UniqueFd listening = listenAt(path);
    std::atomic<bool> stop{false};
    std::thread server(echoServer, listening.get(), std::ref(stop));
    UniqueFd fd = connectTo(path);
    const std::string message(bytes, 'x');
    char buffer[4096];
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        ::send(fd.get(), message.data(), message.size(), MSG_NOSIGNAL);
        std::size_t got = 0;
        while (got < bytes) got += static_cast<std::size_t>(::recv(fd.get(), buffer, sizeof(buffer), 0));
    }
    const double perRound = seconds(Clock::now() - start) / rounds;
    stop = true;
    fd.reset();
    server.join();
    ::unlink(path.c_str());
    return perRound;
}

double pingsPerSecond(const std::string& socket, int clients, int pingsEach) {
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            auto client = smcd::client::Client::connect(socket);
            for (int i = 0; i < pingsEach && client.has_value(); ++i) (void)client.value().ping();
        });
    }
    for (auto& t : threads) t.join();
    return clients * pingsEach / seconds(Clock::now() - start);
}

long statusKilobytes(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return 0;
}

long residentKilobytes(pid_t pid) { return statusKilobytes(pid, "VmRSS:"); }

// Bytes of the reply frame's payload that carries `data`: the envelope
// {"id":N,"reply":[{"data":"<base64>"}]} around the base64 text.
double replyPayloadBytes(std::size_t data, std::uint64_t id) {
    const std::string envelope = R"({"id":)" + std::to_string(id) + R"(,"reply":[{"data":""}]})";
    return static_cast<double>(envelope.size() + (data + 2) / 3 * 4);
}

// How far one call raises a fresh daemon's resident high-water mark above
// where it stood, against the size of the call's reply (both in KiB).
struct PeakAndReply {
    double peak = 0;
    double reply = 0;
};

template <class Call>
PeakAndReply peakOverReply(const std::string& directory, Call call) {
    const Daemon daemon(directory);
    auto client = smcd::client::Client::connect(daemon.socket);
    while (!client.has_value()) client = smcd::client::Client::connect(daemon.socket);
    (void)client.value().ping();
    const long before = residentKilobytes(daemon.pid);
    // Writing 5 resets the high-water mark to the present resident size.
    std::ofstream("/proc/" + std::to_string(daemon.pid) + "/clear_refs") << "5";
    const std::size_t data = call(client.value());
    const long peak = statusKilobytes(daemon.pid, "VmHWM:");
    ::unlink(daemon.socket.c_str());
    return {static_cast<double>(peak - before), replyPayloadBytes(data, 2) / 1024};
}

std::size_t dataSize(const smcd::client::Result<std::string>& reply) {
    return reply.has_value() ? reply.value().size() : 0;
}

struct LogCost {
    double lines = 0;
    double bytes = 0;
    double paths = 0;
    double frameBytes = 0;
};

// What one measurement request of as many distinct refused paths as fit a
// 16 MiB frame writes to the log (each path refused would be a line of its own).
LogCost hostileRequestLog(const std::string& directory) {
    std::vector<std::string> paths;
    std::size_t frame = 256;  // the call's envelope and a length field, with room to spare
    while (frame + 10 < smcd::limits::kMaxRequestSize) {
        paths.push_back(std::to_string(paths.size()));
        frame += paths.back().size() + 3;
    }
    const std::string log = directory + "/smcd.log";
    {
        const Daemon daemon(directory, log);
        auto client = smcd::client::Client::connect(daemon.socket);
        while (!client.has_value()) client = smcd::client::Client::connect(daemon.socket);
        const auto reply = client.value().measurePrivilegedPaths(paths);
        if (!reply.has_value()) std::fprintf(stderr, "hostile request not answered: %s\n", reply.error().reason.c_str());
        ::unlink(daemon.socket.c_str());
    }
    std::ifstream in(log);
    LogCost cost{0, 0, static_cast<double>(paths.size()), static_cast<double>(frame)};
    for (std::string line; std::getline(in, line);) {
        if (line.find("accepted XPC connection") != std::string::npos) continue;
        cost.lines += 1;
        cost.bytes += static_cast<double>(line.size() + 1);
    }
    ::unlink(log.c_str());
    return cost;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/smcd-bench.XXXXXX";
    const std::string directory = ::mkdtemp(pattern);
    constexpr int kRounds = 20000;

    // Cold start: from fork to the first reply, against starting and reaping
    // a trivial process.
    auto trivialStart = Clock::now();
    for (int i = 0; i < 20; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
            ::execv(argv[0], argv);
            ::_exit(127);
        }
        ::waitpid(pid, nullptr, 0);
    }
    const double trivial = seconds(Clock::now() - trivialStart) / 20;
    double coldStart = 0;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        Daemon daemon(directory);
        for (;;) {
            auto client = smcd::client::Client::connect(daemon.socket);
            if (client.has_value() && client.value().ping().has_value()) break;
        }
        coldStart += seconds(Clock::now() - start) / 5;
        ::unlink(daemon.socket.c_str());
    }

    // One request of a million distinct paths screening refuses (each a
    // record, nothing walked), and one of 250,000 distinct paths below a
    // measurement root, none there.
    const PeakAndReply refused = peakOverReply(directory, [](smcd::client::Client& c) {
        std::vector<std::string> paths;
        for (int i = 0; i < 1'000'000; ++i) paths.push_back(std::to_string(i));
        return dataSize(c.measurePrivilegedPaths(paths));
    });
    const PeakAndReply measurement = peakOverReply(directory, [](smcd::client::Client& c) {
        std::vector<std::string> paths;
        for (int i = 0; i < 250'000; ++i) paths.push_back("/var/log/smcd-bench-absent-" + std::to_string(i));
        return dataSize(c.measurePrivilegedPaths(paths));
    });
    smcd::bench::printRow({"peak memory, 1M refused paths measured", refused.peak, "KiB", "its reply frame", refused.reply, "<= 3.0x"});
    smcd::bench::printRow({"peak memory, 250k-path measurement", measurement.peak, "KiB", "its reply frame", measurement.reply, "<= 3.0x"});

    const auto [logLines, logBytes, paths, frameBytes16] = hostileRequestLog(directory);
    smcd::bench::printRow({"log lines, 16 MiB request of refused paths", logLines, "lines", "one a path", paths, "<= 0.0001x"});
    smcd::bench::printRow({"log bytes, 16 MiB request of refused paths", logBytes, "bytes", "the request frame", frameBytes16, "<= 0.001x"});

    Daemon daemon(directory);
    auto client = smcd::client::Client::connect(daemon.socket);
    while (!client.has_value()) client = smcd::client::Client::connect(daemon.socket);
    for (int i = 0; i < 1000; ++i) (void)client.value().ping();  // warm up
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) (void)client.value().ping();
    const double ping = seconds(Clock::now() - start) / kRounds;
    const std::size_t frameBytes = smcd::platform::ipc::encodeCall(1, "pingWithReply:", nlohmann::json::array())->size();
    const double echo = echoRoundTrip(directory, frameBytes, kRounds);

    const double single = pingsPerSecond(daemon.socket, 1, 20000);
    const double sixteen = pingsPerSecond(daemon.socket, 16, 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long idle = residentKilobytes(daemon.pid);

    pid_t sleeper = ::fork();
    if (sleeper == 0) {
        char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("5"), nullptr};
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long sleepRss = residentKilobytes(sleeper);
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);

    using smcd::bench::printRow;
    printRow({"ping round trip through smcd", ping * 1e6, "us", "raw Unix-socket echo", echo * 1e6, "<= 2.0x"});
    printRow({"pings per second, 1 client", 1.0 / single * 1e6, "us/req", "raw echo round trip", echo * 1e6, "<= 2.0x"});
    printRow({"pings per second, 16 clients", 1.0 / sixteen * 1e6, "us/req", "raw echo round trip", echo * 1e6, "<= 2.0x"});
    printRow({"cold start to first reply", coldStart * 1e3, "ms", "fork+exec+wait of /bin/true", trivial * 1e3, "<= 10x"});
    printRow({"idle resident memory", static_cast<double>(idle), "KiB", "/bin/sleep", static_cast<double>(sleepRss), "<= 8x"});
    std::fprintf(stderr, "throughput: %.0f pings/s with 1 client, %.0f with 16\n", single, sixteen);
    ::rmdir(directory.c_str());
    return 0;
}
