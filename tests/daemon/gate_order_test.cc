// The macOS order of the gate, reproduced by the Linux acceptor's test-only
// mode: the delegate takes every peer, and the system refuses one that fails
// the requirement on its first message. The app (this process) holds a fan;
// a refused program is counted, its call never runs, and the fans follow the
// app alone.

#include <gtest/gtest.h>

#include "client/client.h"
#include "daemon/constants.h"
#include "daemon/service_delegate.h"
#include "platform/ipc/linux/socket_acceptor.h"
#include "platform/log/logger.h"
#include "support/daemon.h"
#include "support/log_capture.h"
#include "support/model_core.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/unix_socket.h"

namespace smcd::test {
namespace {

using namespace platform::ipc;

// Serves for the life of the process, as the daemon's listener does: its
// accepting thread never ends, so none of it is ever destroyed.
struct Service {
    TempDir directory;
    std::string socketPath = directory / "smcd.socket";
    ModelCore model{"apple-silicon-newer"};
    std::shared_ptr<ServiceDelegate> delegate =
        std::make_shared<ServiceDelegate>(std::make_shared<FanEngine>(std::move(model.core)));
    Listener listener{std::string(product_facts::kServiceName),
                      [this](const std::string&, const platform::CodeSigningRequirement& requirement,
                         AdmittedPeerHandler admitted)
                          -> Expected<std::unique_ptr<PeerAcceptor>, std::string> {
                          return startSocketAcceptor(listenAt(socketPath), requirement, std::move(admitted),
                                                     GateOrder::onFirstMessage);
                      }};
    bool fanManual() { return model.byte("F0md") == 1; }
};

TEST(GateOnFirstMessage, ARefusedProgramIsCountedThenUncountedWithItsCallUnrunAndTheFansFollowTheApp) {
    auto& service = *new Service();
    service.listener.setDelegate(service.delegate);
    service.listener.setConnectionCodeSigningRequirement(kPeerRequirement);
    ASSERT_TRUE(service.listener.resume().has_value());
    platform::ScopedLogCapture log;
    {
        auto app = answered(client::Client::connect(service.socketPath));
        ASSERT_TRUE(answered(app.setFan(0, true, 3000)).success);

        // Its call, were it run, would hand every fan back.
        ChildProcess refused(std::vector<std::string>{std::string(SMCD_TEST_BINARY_DIR) + "/smcctl_no_identity",
                                                      "--socket", service.socketPath, "reset-fans"});
        EXPECT_EQ(refused.wait(), 2) << refused.standardError();
        EXPECT_TRUE(eventually([&] { return log.contains("from pid " + std::to_string(refused.pid()) + " "); }))
            << "the delegate never saw the refused program";
        EXPECT_TRUE(eventually([&] { return service.delegate->activeConnectionCount() == 1; }));
        EXPECT_TRUE(service.fanManual()) << "the refused call ran, or its end handed the app's fans back";
        EXPECT_TRUE(app.ping().has_value()) << "the app is still served";
    }
    EXPECT_TRUE(eventually([&] { return service.delegate->activeConnectionCount() == 0; }));
    EXPECT_TRUE(eventually([&] { return !service.fanManual(); })) << "the app left; the fans go back";
}

}  // namespace
}  // namespace smcd::test
