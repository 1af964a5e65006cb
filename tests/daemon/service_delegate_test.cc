// The connection count and the hand-back of the fans, in process, against the
// controller model.

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "daemon/service_delegate.h"
#include "platform/ipc/linux/socket_connection.h"
#include "protocol/vornik_fan_control_protocol.h"
#include "platform/log/logger.h"
#include "support/log_capture.h"
#include "support/model_core.h"
#include "support/process.h"

namespace smcd {
namespace {

using platform::ipc::SocketConnection;

class Delegate : public ::testing::Test {
protected:
    Delegate() : engine_(std::make_shared<FanEngine>(std::move(model_.core))) {}

    // A connection as the listener would offer it, from a peer with this uid.
    std::unique_ptr<SocketConnection> accept(uid_t uid, bool invalidatedFirst = false) {
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        peers_.emplace_back(pair[1]);
        auto connection = std::make_unique<SocketConnection>(UniqueFd(pair[0]), platform::ipc::PeerCredentials{4242, uid, 20});
        if (invalidatedFirst) connection->invalidate();
        EXPECT_TRUE(delegate_->shouldAcceptNewConnection(listener_, *connection));
        return connection;
    }

    void setFanManual() {
        const auto result = engine_->withCore(501, [](SMCFanCore& core) { return core.setFan(0, true, 3000); });
        ASSERT_TRUE(result);
    }
    bool fanManual() { return model_.byte("F0md") == 1; }

    test::ModelCore model_{"apple-silicon-newer"};
    std::shared_ptr<FanEngine> engine_;
    std::shared_ptr<ServiceDelegate> delegate_ = std::make_shared<ServiceDelegate>(engine_);
    platform::ipc::Listener listener_{"com.vornik.smcd", platform::ipc::startAccepting};
    std::vector<UniqueFd> peers_;
};

TEST_F(Delegate, LogsEachAcceptAndHandsTheFansBackOnlyWhenTheLastConnectionEnds) {
    platform::ScopedLogCapture log;
    auto first = accept(501);
    auto second = accept(0);
    setFanManual();
    delegate_->connectionEnded();
    EXPECT_TRUE(fanManual()) << "one client is still connected";
    delegate_->connectionEnded();
    EXPECT_FALSE(fanManual());
    EXPECT_EQ(delegate_->activeConnectionCount(), 0);

    const std::vector<platform::CapturedLine> expected = {
        {platform::LogLevel::notice, "accepted XPC connection from pid 4242 uid 501"},
        {platform::LogLevel::notice, "accepted XPC connection from pid 4242 uid 0"},
    };
    EXPECT_EQ(log.lines(), expected);
}

TEST_F(Delegate, AClientAcceptedWhileTheHandBackWaitsKeepsItsFans) {
    auto leaving = accept(501);
    // A fan request in progress, which turns out to be the arriving client's.
    std::atomic<bool> inside{false}, go{false};
    std::thread busy([&] {
        (void)engine_->withCore(502, [&](SMCFanCore& core) {
            inside = true;
            while (!go) std::this_thread::yield();
            EXPECT_TRUE(core.setFan(0, true, 3000));
        });
    });
    ASSERT_TRUE(test::eventually([&] { return inside.load(); }));
    std::thread ending([&] { delegate_->connectionEnded(); });
    ASSERT_TRUE(test::eventually([&] { return delegate_->activeConnectionCount() == 0; }));
    auto arriving = accept(502);
    go = true;
    busy.join();
    ending.join();
    EXPECT_TRUE(fanManual()) << "a late hand-back undid the new client's fan";

    delegate_->connectionEnded();
    EXPECT_FALSE(fanManual());
}

// On macOS the system may invalidate a peer it refuses before the delegate
// has installed the handler: that connection is uncounted all the same.
TEST_F(Delegate, AConnectionInvalidatedBeforeItsHandlerIsSetIsUncountedAtOnce) {
    auto app = accept(501);
    setFanManual();
    auto refused = accept(502, true);
    EXPECT_EQ(delegate_->activeConnectionCount(), 1);
    EXPECT_TRUE(fanManual()) << "the app is still connected";
}

// A fan request runs only while its connection lives: once the peer has
// hung up (while an earlier call of it still ran), nothing of it reaches the
// fans that the hand-back has just reset.
TEST_F(Delegate, AFanRequestOfAConnectionThatHasEndedNeverRuns) {
    using platform::ipc::WireValue;
    for (const bool ended : {true, false}) {
        auto connection = accept(501);
        if (ended) connection->state()->end();
        std::vector<WireValue> replied;
        connection->exportedObject()->invoke(static_cast<std::size_t>(smcd::protocol::Method::setFan),
                                             {std::int64_t{0}, true, std::int64_t{3000}},
                                             [&](std::vector<WireValue> values) { replied = std::move(values); });
        EXPECT_EQ(fanManual(), !ended);
        const std::vector<WireValue> expected =
            ended ? std::vector<WireValue>{false, std::string("connection ended")} : std::vector<WireValue>{true, nullptr};
        EXPECT_EQ(replied, expected);
    }
}

}  // namespace
}  // namespace smcd
