#include "launchd/launchd_toggle.h"

#include "launchd_fixture.h"
#include "platform/log/logger.h"
#include "support/log_capture.h"
#include "probe_support.h"

namespace smcd::PrivilegedLaunchd {
namespace {

// What the client receives: a success flag and a message only on failure.
struct ToggleResult {
    bool success;
    std::optional<std::string> message;
    bool operator==(const ToggleResult&) const = default;
};

void PrintTo(const ToggleResult& result, std::ostream* out) {
    *out << (result.success ? "(true, " : "(false, ") << result.message.value_or("nil") << ")";
}

ToggleResult replied(const Expected<void, std::string>& outcome) {
    if (!outcome) return {false, outcome.error()};
    return {true, std::nullopt};
}

using platform::CapturedLine;
using platform::LogLevel;
using Arguments = std::vector<std::vector<std::string>>;

class Toggle : public test::LaunchdSandbox {
protected:
    void SetUp() override {
        test::LaunchdSandbox::SetUp();
        if (IsSkipped()) return;
        place(agent, jobPlist("com.example.agent"));
        place(daemon, jobPlist("com.example.daemon"));
    }

    // Runs the toggle against a stand-in launchctl whose verbs in `failing`
    // exit 1; returns the result and the argument lists launchctl received.
    std::pair<ToggleResult, Arguments> toggle(std::string_view label, const std::string& path, bool enable,
                                              uid_t peer, const std::vector<std::string>& failing = {}) {
        std::vector<std::string> plan{"record " + calls};
        for (const auto& verb : failing) plan.push_back("if 1 " + verb + " exit 1");
        test::PlacedTool launchctl("/bin/launchctl", plan);
        const ToggleResult result = replied(setLaunchdItem(label, path, enable, peer));
        Arguments seen;
        if (test::exists(calls)) {
            for (auto& report : test::parseReports(test::readFile(calls))) {
                report.argv.erase(report.argv.begin());
                seen.push_back(report.argv);
            }
            ::unlink(calls.c_str());
        }
        return {result, seen};
    }

    const std::string agent = agents + "com.example.agent.plist";
    const std::string daemon = daemons + "com.example.daemon.plist";
    test::TempDir scratch;
    const std::string calls = scratch / "calls";
};

const ToggleResult ok{true, std::nullopt};

TEST_F(Toggle, RunsBothCommandsInTheScreenedDomain) {
    platform::ScopedLogCapture capture;
    EXPECT_EQ(toggle("com.example.daemon", daemon, true, 501),
              std::pair(ok, Arguments{{"enable", "system/com.example.daemon"}, {"bootstrap", "system", daemon}}));
    EXPECT_EQ(toggle("com.example.daemon", daemon, false, 0),
              std::pair(ok, Arguments{{"bootout", "system/com.example.daemon"}, {"disable", "system/com.example.daemon"}}));
    EXPECT_EQ(toggle("com.example.agent", agent, true, 501),
              std::pair(ok, Arguments{{"enable", "gui/501/com.example.agent"}, {"bootstrap", "gui/501", agent}}));
    EXPECT_EQ(toggle("com.example.agent", agent, false, 502),
              std::pair(ok, Arguments{{"bootout", "gui/502/com.example.agent"}, {"disable", "gui/502/com.example.agent"}}));
    const std::vector<CapturedLine> lines = {
        {LogLevel::Default, "launchd enable in system \u2192 ok"},
        {LogLevel::Default, "launchd disable in system \u2192 ok"},
        {LogLevel::Default, "launchd enable in gui/501 \u2192 ok"},
        {LogLevel::Default, "launchd disable in gui/502 \u2192 ok"},
    };
    EXPECT_EQ(capture.lines(), lines);
}

TEST_F(Toggle, ReportsTheFirstFailureAfterRunningBoth) {
    struct Case {
        bool enable;
        std::vector<std::string> failing;
        std::optional<std::string> message;
    };
    const Case cases[] = {
        {true, {"enable"}, "launchctl enable failed"},
        {true, {"bootstrap"}, "launchctl bootstrap failed"},
        {true, {"enable", "bootstrap"}, "launchctl enable failed"},
        {false, {"bootout"}, "launchctl bootout failed"},
        {false, {"disable"}, "launchctl disable failed"},
        {false, {"bootout", "disable"}, "launchctl bootout failed"},
    };
    for (const auto& c : cases) {
        platform::ScopedLogCapture capture;
        const auto [result, seen] = toggle("com.example.daemon", daemon, c.enable, 501, c.failing);
        EXPECT_EQ(result, (ToggleResult{false, c.message}));
        EXPECT_EQ(seen.size(), 2u) << *c.message;
        const std::string verb = c.enable ? "enable" : "disable";
        EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{{LogLevel::Default, "launchd " + verb + " in system \u2192 failed"}}));
    }
}

TEST_F(Toggle, MissingLaunchctlCountsAsAFailedRun) {
    EXPECT_EQ(replied(setLaunchdItem("com.example.agent", agent, true, 501)), (ToggleResult{false, "launchctl enable failed"}));
    EXPECT_EQ(replied(setLaunchdItem("com.example.agent", agent, false, 501)), (ToggleResult{false, "launchctl bootout failed"}));
}

TEST_F(Toggle, RefusedRequestsRunNothingAndLogTheReason) {
    const ToggleResult refused{false, "That background item is not one Vornik's helper may change."};
    const std::pair<std::string, std::string> requests[] = {
        {"com.example.other", "labelMismatch"},
        {"com.apple.example", "appleNamespace"},
        {"com.vornik.smcd", "ownService"},
        {"bad label", "shape"},
    };
    for (const auto& [label, reason] : requests) {
        platform::ScopedLogCapture capture;
        for (const bool enable : {true, false}) {
            EXPECT_EQ(toggle(label, daemon, enable, 501), std::pair(refused, Arguments{})) << label;
        }
        const CapturedLine line{LogLevel::Error, "launchd toggle refused (" + reason + "): <private>"};
        EXPECT_EQ(capture.lines(), std::vector<CapturedLine>(2, line));
    }
}

}  // namespace
}  // namespace smcd::PrivilegedLaunchd
