// The simulator's control language, line in and line out.

#include <gtest/gtest.h>

#include "smc-sim/control_commands.h"
#include "smc-sim/machine.h"
#include "smc-sim/profiles.h"
#include "support/fake_clock.h"

namespace smcd::smcsim {
namespace {

using namespace std::chrono_literals;

class Control : public ::testing::Test {
protected:
    Control() { machine.setDynamics(false); }
    std::string run(std::string_view line) { return runControlCommand(machine, line); }

    test::FakeClock clock;
    Machine machine{defaultProfile(), clock};
};

TEST_F(Control, ReadsKeysAsTypeSizeAndHex) {
    EXPECT_EQ(run("read FNum"), "ok ui8 1 02");
    EXPECT_EQ(run("read F0Mx"), "ok flt 4 0020a745");
    EXPECT_EQ(run("value F0Mx"), "ok 5348");
    EXPECT_EQ(run("value F1Mx"), "ok 5776");
    EXPECT_EQ(run("read NoSu"), "error absent");
    EXPECT_EQ(run("read"), "error usage: read KEY");
    EXPECT_EQ(run("read FNumX"), "error usage: read KEY");
}

TEST_F(Control, SetsValuesInTheKeysTypeOrAsRawBytes) {
    EXPECT_EQ(run("set F0Ac 1234.5"), "ok");
    EXPECT_EQ(run("read F0Ac"), "ok flt 4 00509a44");
    EXPECT_EQ(run("write F0Ac 0000803f"), "ok");
    EXPECT_EQ(run("value F0Ac"), "ok 1");
    EXPECT_EQ(run("write F0Ac 00"), "error size-mismatch");
    EXPECT_EQ(run("write F0Ac 0g00803f"), "error bad-value");
    EXPECT_EQ(run("write F0Ac 000080"), "error size-mismatch");
    EXPECT_EQ(run("write F0Ac 0000803"), "error bad-value");
    EXPECT_EQ(run("set FNum 256"), "error bad-value");
    EXPECT_EQ(run("set FNum two"), "error bad-value");
    EXPECT_EQ(run("set NoSu 1"), "error unknown-key");
}

TEST_F(Control, DefinesNewKeysWithShortTypesPadded) {
    EXPECT_EQ(run("define F2Ac fpe2 1770"), "ok");
    EXPECT_EQ(run("value F2Ac"), "ok 1500");
    EXPECT_EQ(run("define TONE ui8 05"), "ok");
    EXPECT_EQ(run("read TONE"), "ok ui8 1 05");
    EXPECT_EQ(machine.read("TONE")->type, "ui8 ");
    EXPECT_EQ(run("define BADT toolong 05"), "error usage: define KEY TYPE HEX");
    EXPECT_EQ(run("define TBIG ch8* " + std::string(66, '0')), "error bad-value");
}

TEST_F(Control, ShapesHowTheUserClientSeesAKey) {
    EXPECT_EQ(run("absent F0Ac"), "ok");
    EXPECT_EQ(run("read F0Ac"), "error absent");
    EXPECT_EQ(run("present F0Ac"), "ok");
    EXPECT_EQ(run("read F0Ac").substr(0, 8), "ok flt 4");
    EXPECT_EQ(run("report-size F0Ac 33"), "ok");
    EXPECT_EQ(run("report-size F0Ac 0"), "ok");
    EXPECT_EQ(run("report-size F0Ac real"), "ok");
    EXPECT_EQ(run("report-size F0Ac -1"), "error bad-value");
    EXPECT_EQ(run("refuse F0Tg"), "ok");
    EXPECT_EQ(run("accept F0Tg"), "ok");
    EXPECT_EQ(run("access F0Tg r"), "ok");
    EXPECT_EQ(run("access F0Tg x"), "error bad-value");
    EXPECT_EQ(run("absent NoSu"), "error unknown-key");
}

TEST_F(Control, SetsTheHoldAndReportsIt) {
    EXPECT_EQ(run("held"), "ok yes");
    EXPECT_EQ(run("hold 12.5"), "ok");
    EXPECT_EQ(machine.holdTime(), 12500ms);
    EXPECT_EQ(run("hold -1"), "error bad-value");
    EXPECT_EQ(run("hold nan"), "error bad-value");
    EXPECT_EQ(run("hold 1e300"), "error bad-value");
    EXPECT_EQ(run("hold 0"), "ok");
    EXPECT_EQ(run("set Ftst 1"), "ok");
    EXPECT_EQ(run("held"), "ok no");
}

TEST_F(Control, CountsCallsAndWrites) {
    EXPECT_EQ(run("calls"), "ok 0");
    EXPECT_EQ(run("writes Ftst"), "ok 0 0");
    EXPECT_EQ(run("profile"), "ok apple-silicon-laptop");
    EXPECT_EQ(run("ping"), "ok smc-sim");
    EXPECT_EQ(run("dynamics off"), "ok");
    EXPECT_EQ(run("dynamics maybe"), "error usage: dynamics on|off");
    EXPECT_EQ(run("launch rockets"), "error unknown-command");
    EXPECT_EQ(run("   "), "error empty");
}

TEST(ControlWords, SplitOnSpacesTabsAndCarriageReturns) {
    EXPECT_EQ(splitWords("  set\tF0Tg  4000\r"), (std::vector<std::string_view>{"set", "F0Tg", "4000"}));
    EXPECT_TRUE(splitWords("").empty());
}

}  // namespace
}  // namespace smcd::smcsim
