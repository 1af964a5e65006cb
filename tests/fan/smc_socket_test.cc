// The user-client stand-in over a real socket, served by the simulator's
// server on a thread of this process.

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "common/unique_dir.h"
#include "fan/four_char_code.h"
#include "fan/smc_fan_core.h"
#include "platform/smc/linux/socket_smc_service.h"
#include "smc-sim/machine.h"
#include "smc-sim/profiles.h"
#include "smc-sim/server.h"
#include "support/descriptors.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace smcd {
namespace {

using smcsim::Server;

// A simulator server on its own thread, stopped and joined on destruction.
class RunningServer {
public:
    RunningServer(smcsim::Machine& machine, const smcsim::ServerPaths& paths) {
        auto started = Server::start(machine, paths);
        if (auto* server = std::get_if<std::unique_ptr<Server>>(&started)) server_ = std::move(*server);
        int pipe[2];
        if (!server_ || ::pipe2(pipe, O_CLOEXEC) < 0) return;
        stopRead_.reset(pipe[0]);
        stopWrite_.reset(pipe[1]);
        thread_ = std::thread([this] { server_->run(stopRead_.get()); });
    }
    ~RunningServer() { stop(); }
    bool running() const { return thread_.joinable(); }
    void stop() {
        if (!thread_.joinable()) return;
        EXPECT_EQ(::write(stopWrite_.get(), "", 1), 1);
        thread_.join();
        server_.reset();
    }

private:
    std::unique_ptr<Server> server_;
    UniqueFd stopRead_, stopWrite_;
    std::thread thread_;
};

// Leaves a socket file at `path` that nobody listens on.
void leaveStaleSocket(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
}

class SocketTransport : public ::testing::Test {
protected:
    std::unique_ptr<SMCFanCore> openCore() {
        return SMCFanCore::open(platform::matchingSocketService(paths.socket), systemFanClock());
    }

    test::TempDir dir;
    smcsim::Machine machine{smcsim::defaultProfile()};
    smcsim::ServerPaths paths{dir / "smc.socket", dir / "control.socket"};
};

TEST_F(SocketTransport, CarriesStructCallsAndRefusesAnUnknownSelector) {
    RunningServer server(machine, paths);
    ASSERT_TRUE(server.running());
    auto core = openCore();
    ASSERT_NE(core, nullptr);
    const auto fans = core->capabilities();
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_EQ(fans[1].maxRPM, 5776);
    EXPECT_TRUE(core->writeKey(fourCharCode("F1Tg"), std::vector<std::uint8_t>{0x00, 0x00, 0x7A, 0x45}));
    EXPECT_EQ(machine.value("F1Tg"), 4000.0);

    auto client = platform::matchingSocketService(paths.socket)->open();
    ASSERT_NE(client, nullptr);
    platform::SMCStructBytes input{}, output{};
    output.fill(0xEE);
    EXPECT_EQ(client->callStructMethod(3, input, output), platform::IOReturn::badArgument);
    EXPECT_EQ(output[0], 0xEE) << "the output is left alone on failure";
    const std::uint32_t code = fourCharCode("FNum");
    std::memcpy(input.data(), &code, 4);
    input[42] = 9;
    EXPECT_EQ(client->callStructMethod(2, input, output), platform::IOReturn::success);
    EXPECT_EQ(output[40], 0);
    EXPECT_EQ(output[28], 1);
}

TEST_F(SocketTransport, ADroppedClientFailsEveryLaterCallWithoutReconnecting) {
    RunningServer server(machine, paths);
    auto core = openCore();
    ASSERT_NE(core, nullptr);
    ASSERT_EQ(core->capabilities().size(), 2u);
    test::ControlClient control(paths.control);
    EXPECT_EQ(control.command("clients"), "ok 1 1");
    EXPECT_EQ(control.command("drop"), "ok 1");
    const auto calls = machine.callCount();
    EXPECT_TRUE(core->capabilities().empty());
    EXPECT_FALSE(core->writeKey(fourCharCode("Ftst"), std::vector<std::uint8_t>{1}));
    EXPECT_TRUE(core->capabilities().empty());
    EXPECT_EQ(machine.callCount(), calls);
    EXPECT_EQ(control.command("clients"), "ok 0 1");

    // A stopped server leaves no socket files behind.
    server.stop();
    EXPECT_FALSE(test::exists(paths.socket));
    EXPECT_FALSE(test::exists(paths.control));
}

TEST_F(SocketTransport, ClosesEveryDescriptorItOpens) {
    const auto before = test::openDescriptorCount();
    {
        RunningServer server(machine, paths);
        const auto serving = test::openDescriptorCount();
        for (int i = 0; i < 5; ++i) {
            auto core = openCore();
            ASSERT_NE(core, nullptr);
            EXPECT_EQ(core->capabilities().size(), 2u);
            EXPECT_EQ(test::ControlClient(paths.control).command("ping"), "ok smc-sim");
        }
        EXPECT_EQ(SMCFanCore::open(platform::matchingSocketService(dir / "nothing"), systemFanClock()), nullptr);
        // The server closes its ends of the connections as it sees them go:
        // what remains is the two ends of this last control connection.
        test::ControlClient last(paths.control);
        EXPECT_EQ(last.command("clients"), "ok 0 5");
        EXPECT_EQ(test::openDescriptorCount(), serving + 2);
        // An overlong control line closes that connection only.
        EXPECT_EQ(test::ControlClient(paths.control).command(std::string(10000, 'x')), "");
        EXPECT_EQ(last.command("ping"), "ok smc-sim");
    }
    EXPECT_EQ(test::openDescriptorCount(), before);
}

TEST_F(SocketTransport, SocketsAreForTheirOwnerOnlyAndAppearOnlyOnceListening) {
    RunningServer server(machine, paths);
    // Built under a temporary name and renamed into place: nothing else is left.
    std::size_t entries = 0;
    for (UniqueDir listing(::opendir(dir.path().c_str())); const dirent* entry = ::readdir(listing.get());) {
        entries += entry->d_name[0] != '.' ? 1 : 0;
    }
    EXPECT_EQ(entries, 2u);
    for (const auto& path : {paths.socket, paths.control}) {
        struct stat info {};
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u) << path;
    }
}

TEST_F(SocketTransport, ServesManyClientsAtOnce) {
    RunningServer server(machine, paths);
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            auto core = openCore();
            for (int round = 0; core && round < 20; ++round) {
                const auto fans = core->capabilities();
                if (fans.size() == 2 && fans[0].maxRPM == 5348) ++good;
            }
        });
    }
    test::ControlClient control(paths.control);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(control.command("value F1Mx"), "ok 5776");
    for (auto& client : clients) client.join();
    EXPECT_EQ(good, 80);
}

TEST_F(SocketTransport, OnlyASocketIsAServiceAndStartRefusesALiveServerOrAForeignFileButReplacesAStaleSocket) {
    const auto failure = [&](const smcsim::ServerPaths& at) {
        auto started = Server::start(machine, at);
        const auto* error = std::get_if<smcsim::StartError>(&started);
        return error ? std::optional(error->failure) : std::nullopt;
    };
    {
        RunningServer first(machine, paths);
        EXPECT_EQ(failure(paths), smcsim::StartFailure::pathInUse);
        EXPECT_NE(openCore(), nullptr) << "the first one is unharmed";
    }
    EXPECT_EQ(platform::matchingSocketService(paths.socket), nullptr) << "no socket, no service";
    test::writeFile(paths.socket, "not a socket");
    EXPECT_EQ(platform::matchingSocketService(paths.socket), nullptr);
    ::unlink(paths.socket.c_str());
    test::writeFile(paths.control, "keep me");
    EXPECT_EQ(failure(paths), smcsim::StartFailure::pathOccupied);
    EXPECT_EQ(test::readFile(paths.control), "keep me");
    EXPECT_FALSE(test::exists(paths.socket)) << "the half-started server removed its first socket";
    ::unlink(paths.control.c_str());

    // A socket nobody listens on: a service that does not open, until a server replaces it.
    ASSERT_NO_FATAL_FAILURE(leaveStaleSocket(paths.socket));
    EXPECT_EQ(platform::matchingSocketService(paths.socket)->open(), nullptr);
    RunningServer replacement(machine, paths);
    ASSERT_TRUE(replacement.running());
    EXPECT_NE(openCore(), nullptr);
    EXPECT_EQ(failure({dir / std::string(200, 'x'), paths.control}), smcsim::StartFailure::pathTooLong);
}

}  // namespace
}  // namespace smcd
