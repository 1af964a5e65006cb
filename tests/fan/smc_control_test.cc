// The simulator's control language, line in and line out.

#include <gtest/gtest.h>

#include "smc-sim/control_commands.h"
#include "smc-sim/machine.h"
#include "smc-sim/profiles.h"
#include "support/fake_clock.h"

namespace smcd::smcsim {
namespace {

using namespace std::chrono_literals;

TEST(Control, AnswersEachCommandInTurn) {
    test::FakeClock clock;
    Machine machine{defaultProfile(), clock};
    machine.setDynamics(false);
    // Each line, in order, with the reply it must get.
    const std::pair<std::string, std::string> dialogue[] = {
        {"read FNum", "ok ui8 1 02"},
        {"read F0Mx", "ok flt 4 0020a745"},
        {"read NoSu", "error absent"},
        {"read FNumX", "error usage: read KEY"},
        {"set F0Ac 1234.5", "ok"},
        {"read F0Ac", "ok flt 4 00509a44"},
        {"write F0Ac 0000803f", "ok"},
        {"value F0Ac", "ok 1"},
        {"write F0Ac 00", "error size-mismatch"},
        {"write F0Ac 0g00803f", "error bad-value"},
        {"write F0Ac 0000803", "error bad-value"},
        {"set FNum 256", "error bad-value"},
        {"set NoSu 1", "error unknown-key"},
        {"define F2Ac fpe2 1770", "ok"},
        {"define TONE ui8 05", "ok"},
        {"value F2Ac", "ok 1500"},
        {"define BADT toolong 05", "error usage: define KEY TYPE HEX"},
        {"define TBIG ch8* " + std::string(66, '0'), "error bad-value"},
        {"absent F0Ac", "ok"},
        {"read F0Ac", "error absent"},
        {"report-size F0Ac 33", "ok"},
        {"report-size F0Ac -1", "error bad-value"},
        {"refuse F0Tg", "ok"},
        {"access F0Tg r", "ok"},
        {"access F0Tg x", "error bad-value"},
        {"absent NoSu", "error unknown-key"},
        {"held", "ok yes"},
        {"hold -1", "error bad-value"},
        {"hold 1e300", "error bad-value"},
        {"hold 0", "ok"},
        {"writes Ftst", "ok 0 0"},
        {"set Ftst 1", "ok"},
        {"held", "ok no"},
        {"calls", "ok 0"},
        {"profile", "ok apple-silicon-laptop"},
        {"ping", "ok smc-sim"},
        {"dynamics maybe", "error usage: dynamics on|off"},
        {"launch rockets", "error unknown-command"},
        {" \t\r", "error empty"},
        {"  value\tF2Ac  \r", "ok 1500"},
        {"hold 12.5", "ok"},
    };
    for (const auto& [line, reply] : dialogue) EXPECT_EQ(runControlCommand(machine, line), reply) << line;
    EXPECT_EQ(machine.holdTime(), 12500ms);
    EXPECT_EQ(machine.read("TONE")->type, "ui8 ");
}

}  // namespace
}  // namespace smcd::smcsim
