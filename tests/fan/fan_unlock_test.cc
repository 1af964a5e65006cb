// The manual-mode unlock through "Ftst", on the model with a hand-driven
// clock: the waits are counted, not waited for.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "support/model_core.h"

namespace smcd {
namespace {

using test::failureOf;

using namespace std::chrono_literals;
using test::ModelCore;
using Strings = std::vector<std::string>;
using Duration = FanClock::Duration;
const std::string kTimedOut1 = "Timed out unlocking fan 1 \u2014 thermalmonitord kept control";

std::size_t countOf(const Strings& writes, const std::string& write) { return std::ranges::count(writes, write); }

TEST(Unlock, RaisesFtstWaitsAndRetriesUntilTheThermalManagerLetsGo) {
    ModelCore model;  // holds the fans 3.5 s after Ftst is raised
    EXPECT_EQ(failureOf(model.core->setFan(0, true, 4000)), std::nullopt);

    const auto writes = model.writes();
    ASSERT_GE(writes.size(), 4u);
    EXPECT_EQ(writes[0], "F0Md=01");
    EXPECT_EQ(writes[1], "Ftst=01");
    EXPECT_EQ(writes.back(), "F0Tg=00007a45");
    const auto sleeps = model.clock.sleeps();
    ASSERT_FALSE(sleeps.empty());
    EXPECT_EQ(sleeps.front(), Duration(500ms));
    EXPECT_TRUE(std::all_of(sleeps.begin() + 1, sleeps.end(), [](auto s) { return s == Duration(100ms); }));
    // Released 3.5 s after the raise: 0.5 s settle, then 30 retries 0.1 s apart.
    EXPECT_EQ(model.clock.slept(), Duration(3500ms));
    EXPECT_EQ(countOf(writes, "F0Md=01"), 1u + 31u);

    // A second fan needs no further wait while Ftst is raised.
    model.machine.clearJournal();
    EXPECT_EQ(failureOf(model.core->setFan(1, true, 3000)), std::nullopt);
    EXPECT_EQ(model.clock.slept(), Duration(3500ms));
    EXPECT_EQ(model.writes(), (Strings{"F1Md=01", "F1Tg=00803b45"}));
}

TEST(Unlock, GivesUpTenSecondsAfterTheSettle) {
    ModelCore model;
    model.machine.setHoldTime(20s);
    EXPECT_EQ(failureOf(model.core->setFan(1, true, 4000)), kTimedOut1);
    const auto writes = model.writes();
    EXPECT_EQ(model.clock.slept(), Duration(10500ms));
    // One first attempt, then one attempt every 0.1 s for 10 s.
    EXPECT_EQ(countOf(writes, "F1Md=01"), 1u + 100u);
    EXPECT_EQ(writes.size(), 102u) << "one Ftst raise, no target after a failed unlock";

    // Released at 10.4 s after the raise: still inside the ten seconds that
    // start after the settle. At 10.501 s it is not.
    ModelCore inTime, late;
    inTime.machine.setHoldTime(10400ms);
    EXPECT_EQ(failureOf(inTime.core->setFan(0, true, 2000)), std::nullopt);
    EXPECT_EQ(inTime.clock.slept(), Duration(10400ms));
    late.machine.setHoldTime(10501ms);
    EXPECT_FALSE(late.core->setFan(0, true, 2000));

    // A failing Ftst write is not looked at: the retries still run.
    ModelCore refused;
    ASSERT_FALSE(refused.machine.setRefuseWrites("Ftst", true));
    EXPECT_EQ(failureOf(refused.core->setFan(1, true, 2000)), kTimedOut1);
    EXPECT_EQ(refused.clock.slept(), Duration(10500ms));
}

TEST(Unlock, WithoutFtstAModeWriteIsAcceptedOrRefusedAtOnce) {
    ModelCore newer("apple-silicon-newer");
    ASSERT_FALSE(newer.machine.define("Ftst", "ui8 ", {0}));  // present, yet not needed
    EXPECT_EQ(failureOf(newer.core->setFan(1, true, 4000)), std::nullopt);
    EXPECT_EQ(newer.writes(), (Strings{"F1md=01", "F1Tg=00007a45"}));
    ModelCore desktop("desktop");
    ASSERT_FALSE(desktop.machine.setRefuseWrites("F0Md", true));
    EXPECT_EQ(failureOf(desktop.core->setFan(0, true, 2000)), "Fan 0 mode write rejected and this Mac has no Ftst unlock");
    EXPECT_EQ(desktop.writes(), Strings{"F0Md=01"});
    EXPECT_TRUE(newer.clock.sleeps().empty() && desktop.clock.sleeps().empty());
}

}  // namespace
}  // namespace smcd
