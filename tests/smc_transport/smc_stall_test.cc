// One unanswered struct call against the simulator process: the call fails,
// the next one finds the controller again.

#include <gtest/gtest.h>

#include <chrono>

#include "fan/four_char_code.h"
#include "fan/smc_fan_core.h"
#include "platform/smc/linux/socket_smc_service.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace smcd {
namespace {

// Every call of the test waits this long at most, not only the stalled one:
// short enough to keep the test quick, long enough for a loaded machine.
constexpr std::chrono::seconds kShortAnswerTimeout{3};

TEST(SMCStall, FailsThatCallAloneAndTheNextCallReconnects) {
    test::TempDir dir;
    const std::string socket = dir / "smc.socket";
    test::SimProcess sim(socket, dir / "control.socket", {"--profile", "apple-silicon-newer"});
    ASSERT_TRUE(sim.ready());
    auto core = SMCFanCore::open(platform::matchingSocketService(socket, kShortAnswerTimeout), systemFanClock());
    ASSERT_NE(core, nullptr);
    ASSERT_EQ(core->capabilities().size(), 2u);

    ASSERT_EQ(sim.command("stall"), "ok");
    EXPECT_FALSE(core->readNumber(fourCharCode("F0Mx"))) << "the stalled call has no answer";
    EXPECT_EQ(core->capabilities().size(), 2u) << "the next access reconnects";
    EXPECT_TRUE(core->writeKey(fourCharCode("F0md"), std::vector<std::uint8_t>{1}));
    EXPECT_EQ(sim.command("value F0md"), "ok 1");
    EXPECT_EQ(sim.command("clients"), "ok 1 2") << "one connection given up, one new";
}

}  // namespace
}  // namespace smcd
