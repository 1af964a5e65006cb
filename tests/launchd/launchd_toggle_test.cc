#include "launchd/launchd_toggle.h"

#include <optional>

#include "launchd_fixture.h"
#include "platform/log/logger.h"
#include "support/log_capture.h"
#include "probe_support.h"

namespace smcd::PrivilegedLaunchd {
namespace {

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
    // exit 1 (none at all for "missing"); returns the client's message (none
    // on success) and the argument lists launchctl received.
    std::pair<std::optional<std::string>, Arguments> toggle(std::string_view label, const std::string& path, bool enable,
                                                            uid_t peer, const std::vector<std::string>& failing = {}) {
        std::vector<std::string> plan{"record " + calls};
        for (const auto& verb : failing) plan.push_back("if 1 " + verb + " exit 1");
        std::optional<test::PlacedTool> launchctl;
        if (failing != std::vector<std::string>{"missing"}) launchctl.emplace("/bin/launchctl", plan);
        const auto outcome = setLaunchdItem(label, path, enable, peer);
        Arguments seen;
        if (test::exists(calls)) {
            for (auto& report : test::parseReports(test::readFile(calls)))
                seen.emplace_back(report.argv.begin() + 1, report.argv.end());
            ::unlink(calls.c_str());
        }
        return {outcome ? std::nullopt : std::optional(outcome.error()), seen};
    }

    const std::string agent = agents + "com.example.agent.plist";
    const std::string daemon = daemons + "com.example.daemon.plist";
    test::TempDir scratch;
    const std::string calls = scratch / "calls";
};

TEST_F(Toggle, RunsBothCommandsInTheScreenedDomainAndReportsTheFirstFailure) {
    const std::string system = "system/com.example.daemon";
    const Arguments enableDaemon{{"enable", system}, {"bootstrap", "system", daemon}},
        disableDaemon{{"bootout", system}, {"disable", system}};
    const struct {
        bool agent, enable;
        uid_t peer;
        std::vector<std::string> failing;
        std::optional<std::string> message;
        Arguments arguments;
        std::string logged;
    } cases[] = {
        {false, true, 501, {}, std::nullopt, enableDaemon, "launchd enable in system \u2192 ok"},
        {false, false, 0, {}, std::nullopt, disableDaemon, "launchd disable in system \u2192 ok"},
        {true, true, 501, {}, std::nullopt, {{"enable", "gui/501/com.example.agent"}, {"bootstrap", "gui/501", agent}},
         "launchd enable in gui/501 \u2192 ok"},
        {true, false, 502, {}, std::nullopt,
         {{"bootout", "gui/502/com.example.agent"}, {"disable", "gui/502/com.example.agent"}},
         "launchd disable in gui/502 \u2192 ok"},
        {false, true, 501, {"bootstrap"}, "launchctl bootstrap failed", enableDaemon, "launchd enable in system \u2192 failed"},
        {false, true, 501, {"enable", "bootstrap"}, "launchctl enable failed", enableDaemon,
         "launchd enable in system \u2192 failed"},
        {false, false, 501, {"disable"}, "launchctl disable failed", disableDaemon, "launchd disable in system \u2192 failed"},
        {false, false, 501, {"bootout", "disable"}, "launchctl bootout failed", disableDaemon,
         "launchd disable in system \u2192 failed"},
        {false, false, 501, {"missing"}, "launchctl bootout failed", {}, "launchd disable in system \u2192 failed"},
    };
    for (const auto& c : cases) {
        platform::ScopedLogCapture capture;
        const auto label = c.agent ? "com.example.agent" : "com.example.daemon";
        EXPECT_EQ(toggle(label, c.agent ? agent : daemon, c.enable, c.peer, c.failing), std::pair(c.message, c.arguments))
            << c.logged;
        EXPECT_EQ(capture.lines(), (std::vector<CapturedLine>{{LogLevel::Default, c.logged}}));
    }
}

TEST_F(Toggle, RefusedRequestsRunNothingAndLogTheReason) {
    platform::ScopedLogCapture capture;
    for (const bool enable : {true, false}) {
        EXPECT_EQ(toggle("com.apple.example", daemon, enable, 501),
                  std::pair(std::optional<std::string>("That background item is not one Vornik's helper may change."),
                            Arguments{}));
    }
    const CapturedLine line{LogLevel::Error, "launchd toggle refused (appleNamespace): <private>"};
    EXPECT_EQ(capture.lines(), std::vector<CapturedLine>(2, line));
}

}  // namespace
}  // namespace smcd::PrivilegedLaunchd
